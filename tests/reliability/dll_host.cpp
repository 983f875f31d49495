#include "dll_host.h"

#include "support/test_env.h"

namespace reliability {

namespace {
struct Loaded {
    HMODULE module = nullptr;
    IBrailleDriver* driver = nullptr;
    bool counted = false;
};

Loaded& Dll() {
    static Loaded loaded = [] {
        Loaded l;
        l.module = LoadLibraryA("brailledriver.dll");
        if (!l.module) return l;
        auto get = reinterpret_cast<GetBrailleInterfaceFn>(
            reinterpret_cast<void*>(GetProcAddress(l.module, "GetBrailleInterface")));
        l.driver = get ? get(nullptr) : nullptr;
        l.counted = probes::HookModuleAllocations(l.module);
        return l;
    }();
    return loaded;
}
}  // namespace

IBrailleDriver* Driver() { return Dll().driver; }
HMODULE DriverModule() { return Dll().module; }
bool AllocationsCounted() { return Dll().counted; }

void DrainPort(const std::string& port) {
    HANDLE h =
        CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    CloseHandle(h);
}

std::vector<uint8_t> Pattern(uint32_t seed, size_t count) {
    std::vector<uint8_t> cells(count);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < count; ++i) {
        x = x * 1103515245u + 12345u;
        cells[i] = static_cast<uint8_t>(x >> 16);
    }
    if (count) cells[0] = static_cast<uint8_t>(seed | 1);  // never an all-blank line
    return cells;
}

void Pump(DWORD ms) {
    testenv::WaitUntil([] { return false; }, ms);
}

}  // namespace reliability
