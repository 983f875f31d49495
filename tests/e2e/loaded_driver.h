// The driver as a host gets it: the DLL loaded once per process, the object
// from its one export.
#ifndef BRL_TESTS_LOADED_DRIVER_H
#define BRL_TESTS_LOADED_DRIVER_H

#include <windows.h>

#include "brailledriver.h"

inline IBrailleDriver* LoadDriver() {
    static HMODULE dll = LoadLibraryA("brailledriver.dll");
    if (!dll) return nullptr;
    auto get =
        reinterpret_cast<GetBrailleInterfaceFn>(reinterpret_cast<void*>(GetProcAddress(dll, "GetBrailleInterface")));
    return get ? get(nullptr) : nullptr;
}

#endif
