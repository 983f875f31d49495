// Native stand-in for <windows.h>: just the types and the two clock calls that
// the platform-free decoders' headers name, so they compile with clang on Linux
// for the sanitizers. Widths as on 64-bit Windows (DWORD is 32 bits there).
#ifndef BRL_FUZZ_WINDOWS_H
#define BRL_FUZZ_WINDOWS_H

#include <stdint.h>
#include <time.h>

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef void* HANDLE;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

typedef struct _OVERLAPPED {
    uintptr_t Internal, InternalHigh;
    DWORD Offset, OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED;

typedef union _LARGE_INTEGER {
    int64_t QuadPart;
} LARGE_INTEGER;

inline BOOL QueryPerformanceFrequency(LARGE_INTEGER* f) {
    f->QuadPart = 1000000000;
    return 1;
}
inline BOOL QueryPerformanceCounter(LARGE_INTEGER* now) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    now->QuadPart = static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
    return 1;
}

#endif
