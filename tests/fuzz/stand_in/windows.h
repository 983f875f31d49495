// Native stand-in for <windows.h>: just the types, values and calls that the
// decoders and the serial link name, so they compile with clang on Linux for
// the sanitizers. Widths as on 64-bit Windows (DWORD is 32 bits there). Events
// live in memory: nothing else can set one meanwhile, so a wait on an unset
// event times out at once.
#ifndef BRL_FUZZ_WINDOWS_H
#define BRL_FUZZ_WINDOWS_H

#include <stdint.h>
#include <time.h>

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef uint8_t BYTE;
typedef int16_t SHORT;
typedef unsigned int UINT;
typedef uint16_t WCHAR;
typedef DWORD* LPDWORD;
typedef const char* LPCSTR;
typedef LONG NTSTATUS;
typedef void* HANDLE;
typedef void* HKL;
typedef struct _GUID GUID;
typedef struct tagINPUT INPUT;
typedef struct _DCB DCB, *LPDCB;
typedef struct _COMMCONFIG* LPCOMMCONFIG;
typedef struct _COMSTAT* LPCOMSTAT;
typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout, ReadTotalTimeoutMultiplier, ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier, WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;
#define TRUE 1
#define FALSE 0
#define WINAPI
#define __stdcall
#define INFINITE 0xFFFFFFFFu
#define MAXDWORD 0xFFFFFFFFu
#define EV_RXCHAR 0x0001
#define EV_BREAK 0x0040
#define EV_ERR 0x0080
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INVALID_NAME 123L
#define ERROR_BUSY 170L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_IO_PENDING 997L
#define ERROR_ALREADY_INITIALIZED 1247L
#define ERROR_TIMEOUT 1460L
#define STATUS_PENDING 0x103u
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

typedef struct _OVERLAPPED {
    uintptr_t Internal, InternalHigh;
    DWORD Offset, OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED;
#define HasOverlappedIoCompleted(o) ((o)->Internal != STATUS_PENDING)

struct BrlFuzzEvent {
    bool manual, set;
};
inline HANDLE CreateEventA(void*, BOOL manual, BOOL initial, LPCSTR) { return new BrlFuzzEvent{!!manual, !!initial}; }
inline BOOL SetEvent(HANDLE h) {
    static_cast<BrlFuzzEvent*>(h)->set = true;
    return 1;
}
inline BOOL ResetEvent(HANDLE h) {
    static_cast<BrlFuzzEvent*>(h)->set = false;
    return 1;
}
inline DWORD WaitForSingleObject(HANDLE h, DWORD) {
    BrlFuzzEvent* e = static_cast<BrlFuzzEvent*>(h);
    if (!e->set) return WAIT_TIMEOUT;
    e->set = e->manual;
    return WAIT_OBJECT_0;
}
inline BOOL CloseHandle(HANDLE h) {
    delete static_cast<BrlFuzzEvent*>(h);
    return 1;
}

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
