// Module entry and the one export.
#include "driver.h"

namespace {
// Constructed during the module's static initialisation, destroyed at unload.
CBrailleSampleDriver g_driver;
}  // namespace

CBrailleSampleDriver& TheDriver() { return g_driver; }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) SetModuleInstance(instance);
    // Unloaded by FreeLibrary (no worker is left: each holds the module): the
    // key window class goes with the module. Nothing here waits.
    if (reason == DLL_PROCESS_DETACH && !reserved) UnregisterClassA("KVR", instance);
    return TRUE;
}

extern "C" IBrailleDriver* BRL_CALL GetBrailleInterface(IBrailleDriver** out) {
    IBrailleDriver* driver = &g_driver;
    if (out) *out = driver;
    return driver;
}
