// Module entry and the one export.
#include <new>

#include "driver.h"

namespace {
// The driver object lives in static storage but is built and torn down by the
// module entry, so that nothing of it runs when the process exits (other
// threads are gone then, perhaps in the middle of a call, and the system
// frees everything anyway).
alignas(CBrailleSampleDriver) unsigned char g_storage[sizeof(CBrailleSampleDriver)];
CBrailleSampleDriver* g_driver = nullptr;
}  // namespace

CBrailleSampleDriver& TheDriver() { return *g_driver; }

// Only kernel32 work here: no user32 call may run under the loader lock. The
// key window class goes where its last window goes. An unload by FreeLibrary
// finds no worker (each holds the module) and no window of the driver's
// (closed before the worker lets the module go).
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        SetModuleInstance(instance);
        g_driver = new (g_storage) CBrailleSampleDriver();
    } else if (reason == DLL_PROCESS_DETACH && !reserved && g_driver) {
        g_driver->~CBrailleSampleDriver();
        g_driver = nullptr;
    }
    return TRUE;
}

extern "C" IBrailleDriver* BRL_CALL GetBrailleInterface(IBrailleDriver** out) {
    IBrailleDriver* driver = g_driver;
    if (out) *out = driver;
    return driver;
}
