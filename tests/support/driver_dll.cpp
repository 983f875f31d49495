#include "support/driver_dll.h"

#include "support/probes.h"

namespace testenv {

namespace {
struct Loaded {
    HMODULE module = nullptr;
    IBrailleDriver* driver = nullptr;
    bool counted = false;
};

const Loaded& Dll() {
    static const Loaded loaded = [] {
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

IBrailleDriver* LoadDriver() { return Dll().driver; }
HMODULE DriverModule() { return Dll().module; }
bool AllocationsCounted() { return Dll().counted; }

}  // namespace testenv
