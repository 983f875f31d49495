#include "support/probes.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>

namespace probes {

// ---- handles and threads ----

namespace {
using QuerySystemInformationFn = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct HandleEntry {
    ULONG processId;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
}  // namespace

long HandleCount() {
    static auto query = reinterpret_cast<QuerySystemInformationFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return -1;
    std::vector<char> buffer(256 * 1024);
    for (int attempt = 0; attempt < 8; ++attempt) {
        ULONG needed = 0;
        LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kStatusInfoLengthMismatch) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status != 0) return -1;
        const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
        const DWORD self = GetCurrentProcessId();
        long count = 0;
        for (ULONG i = 0; i < table->count; ++i)
            if (table->entries[i].processId == self) ++count;
        return count;
    }
    return -1;
}

std::vector<DWORD> ThreadIds() {
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    const DWORD self = GetCurrentProcessId();
    for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == self) ids.push_back(entry.th32ThreadID);
    CloseHandle(snapshot);
    return ids;
}

int ThreadCount() { return static_cast<int>(ThreadIds().size()); }

// ---- allocation counter ----

namespace {
void*(__cdecl* realMalloc)(size_t) = nullptr;
void*(__cdecl* realCalloc)(size_t, size_t) = nullptr;
void*(__cdecl* realRealloc)(void*, size_t) = nullptr;
void(__cdecl* realFree)(void*) = nullptr;

std::atomic<uint64_t> allocCount{0}, freeCount{0}, watchedCount{0};
std::atomic<DWORD> watched{0};

void NoteAlloc() {
    ++allocCount;
    const DWORD w = watched.load(std::memory_order_relaxed);
    if (w && w == GetCurrentThreadId()) ++watchedCount;
}

void* __cdecl CountingMalloc(size_t size) {
    NoteAlloc();
    return realMalloc(size);
}
void* __cdecl CountingCalloc(size_t n, size_t size) {
    NoteAlloc();
    return realCalloc(n, size);
}
void* __cdecl CountingRealloc(void* p, size_t size) {
    if (!p)
        NoteAlloc();
    else if (size == 0)
        ++freeCount;
    return realRealloc(p, size);
}
void __cdecl CountingFree(void* p) {
    if (p) ++freeCount;
    realFree(p);
}

std::atomic<uint64_t> failedCloses{0};
BOOL(WINAPI* realCloseHandle)(HANDLE) = nullptr;
BOOL WINAPI CountingCloseHandle(HANDLE handle) {
    const BOOL closed = realCloseHandle(handle);
    if (!closed) ++failedCloses;
    return closed;
}

// Keeps the function an import slot holds in `real` and puts `counting` there.
template <typename Fn>
bool Hook(void** slot, Fn& real, Fn counting) {
    real = reinterpret_cast<Fn>(*slot);
    DWORD old = 0;
    if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old)) return false;
    *slot = reinterpret_cast<void*>(counting);
    VirtualProtect(slot, sizeof(void*), old, &old);
    return true;
}
}  // namespace

bool HookModuleAllocations(HMODULE module) {
    if (!module) return false;
    auto* base = reinterpret_cast<uint8_t*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress) return false;
    bool gotMalloc = false, gotFree = false;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d) {
        const char* dll = reinterpret_cast<const char*>(base + d->Name);
        if (_stricmp(dll, "msvcrt.dll") != 0 && _strnicmp(dll, "api-ms-win-crt-heap", 19) != 0 &&
            _stricmp(dll, "ucrtbase.dll") != 0 && _stricmp(dll, "kernel32.dll") != 0)
            continue;
        auto* names =
            reinterpret_cast<IMAGE_THUNK_DATA*>(base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const char* name = reinterpret_cast<const char*>(
                reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name);
            void** slot = reinterpret_cast<void**>(&slots->u1.Function);
            if (std::strcmp(name, "malloc") == 0) gotMalloc = Hook(slot, realMalloc, &CountingMalloc);
            if (std::strcmp(name, "calloc") == 0) Hook(slot, realCalloc, &CountingCalloc);
            if (std::strcmp(name, "realloc") == 0) Hook(slot, realRealloc, &CountingRealloc);
            if (std::strcmp(name, "free") == 0) gotFree = Hook(slot, realFree, &CountingFree);
            if (std::strcmp(name, "CloseHandle") == 0) Hook(slot, realCloseHandle, &CountingCloseHandle);
        }
    }
    return gotMalloc && gotFree;
}

uint64_t FailedHandleCloses() { return failedCloses.load(); }

AllocCounts Allocations() { return {allocCount.load(), freeCount.load(), watchedCount.load()}; }

void WatchThread(DWORD threadId) { watched = threadId; }

// ---- guarded memory ----

CGuardedBuffer::CGuardedBuffer(size_t size) : length(size) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    const size_t dataPages = (size + page - 1) / page + 1;  // at least one page of room in front
    total = (dataPages + 1) * page;
    base = static_cast<uint8_t*>(VirtualAlloc(nullptr, total, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!base) return;
    DWORD old = 0;
    uint8_t* guardPage = base + dataPages * page;
    VirtualProtect(guardPage, page, PAGE_NOACCESS, &old);
    start = guardPage - size;
    std::memset(base, 0xA5, dataPages * page);
}

CGuardedBuffer::~CGuardedBuffer() {
    if (base) VirtualFree(base, 0, MEM_RELEASE);
}

namespace {
LONG CALLBACK ReportFault(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    if (r->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && r->NumberParameters >= 2) {
        MEMORY_BASIC_INFORMATION mbi;
        const void* at = reinterpret_cast<const void*>(r->ExceptionInformation[1]);
        const bool guard = VirtualQuery(at, &mbi, sizeof mbi) && mbi.Protect == PAGE_NOACCESS;
        std::fprintf(stderr, "\n*** access violation: %s of %p at code %p%s\n",
                     r->ExceptionInformation[0] ? "write" : "read", at, r->ExceptionAddress,
                     guard ? " (a guard page behind a test buffer: the callee went past the buffer)" : "");
        std::fflush(stderr);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}
}  // namespace

void InstallFaultReporter() {
    static PVOID handler = AddVectoredExceptionHandler(1, &ReportFault);
    (void)handler;
}

// ---- timing and statistics ----

double NowMs() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / frequency;
}

Summary Summarize(std::vector<double> v) {
    Summary s;
    s.count = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        // Nearest rank: the smallest value with at least q of the samples at or below it.
        size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
        if (rank == 0) rank = 1;
        return v[std::min(rank, v.size()) - 1];
    };
    s.min = v.front();
    s.max = v.back();
    s.median = at(0.5);
    s.p90 = at(0.9);
    s.p99 = at(0.99);
    s.mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
    return s;
}

std::string Format(const Summary& s, const char* unit, int decimals) {
    char text[256];
    std::snprintf(text, sizeof text, "n=%zu median %.*f %s, mean %.*f, p90 %.*f, p99 %.*f, min %.*f, max %.*f", s.count,
                  decimals, s.median, unit, decimals, s.mean, decimals, s.p90, decimals, s.p99, decimals, s.min,
                  decimals, s.max);
    return text;
}

}  // namespace probes
