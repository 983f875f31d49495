// Process probes for the reliability tests and the benchmarks: what a process
// holds (handles, threads), what a loaded module allocates, guarded buffers and
// simple statistics.
//
// Handles are counted from NtQuerySystemInformation(SystemHandleInformation)
// (Wine implements it through wineserver; GetProcessHandleCount gives 0 under
// Wine 8), threads from a Toolhelp snapshot. The allocation counter patches one
// module's (the driver DLL's) imports of msvcrt's malloc, calloc, realloc and
// free; its operator new and delete reach them too (libstdc++ is linked in
// statically). Only that module's calls are counted.
#ifndef BRL_RELIABILITY_PROBES_H
#define BRL_RELIABILITY_PROBES_H

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace probes {

// Open handles of this process, -1 when the count is not available.
long HandleCount();
// Threads of this process.
int ThreadCount();
// Identifiers of this process's threads.
std::vector<DWORD> ThreadIds();

// ---- allocations made by one module ----
struct AllocCounts {
    uint64_t allocs = 0;         // malloc, calloc, realloc(null, n)
    uint64_t frees = 0;          // free(p) with p not null, realloc(p, 0)
    uint64_t watchedAllocs = 0;  // allocations made on the watched thread
};

// Patches the module's imports of malloc/calloc/realloc/free, and of
// CloseHandle to count the closes that fail (a handle closed twice). True when
// at least malloc and free were found. Stays installed for the life of the process.
bool HookModuleAllocations(HMODULE module);
AllocCounts Allocations();
uint64_t FailedHandleCloses();
// Allocations made on this thread from now on are counted in watchedAllocs
// (0 = none watched).
void WatchThread(DWORD threadId);
// Live blocks = allocs - frees since the hook was installed.
inline int64_t LiveBlocks(const AllocCounts& c) {
    return static_cast<int64_t>(c.allocs) - static_cast<int64_t>(c.frees);
}

// ---- guarded memory ----
// size bytes that end exactly at an inaccessible page: touching the byte after
// the last one faults at once. The bytes before are readable and writable up to
// the start of the page (use `slack` to leave readable room in front).
class CGuardedBuffer {
public:
    explicit CGuardedBuffer(size_t size);
    ~CGuardedBuffer();
    CGuardedBuffer(const CGuardedBuffer&) = delete;
    CGuardedBuffer& operator=(const CGuardedBuffer&) = delete;
    uint8_t* data() const { return start; }
    size_t size() const { return length; }
    bool valid() const { return base != nullptr; }

private:
    uint8_t* base = nullptr;
    size_t total = 0;
    uint8_t* start = nullptr;
    size_t length = 0;
};

// Reports any access violation (address and whether it hit a guard page) on
// stderr before the process dies, so a failed run says what it touched.
void InstallFaultReporter();

// ---- timing and statistics ----
double NowMs();  // QueryPerformanceCounter in milliseconds
// How long the call took, in milliseconds.
template <typename F>
double Timed(F&& call) {
    const double start = NowMs();
    call();
    return NowMs() - start;
}
struct Summary {
    size_t count = 0;
    double min = 0, median = 0, mean = 0, p90 = 0, p99 = 0, max = 0;
};
Summary Summarize(std::vector<double> values);
std::string Format(const Summary& s, const char* unit, int decimals = 2);

}  // namespace probes

#endif
