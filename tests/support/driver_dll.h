// The driver as a host gets it: brailledriver.dll loaded once per process by
// name, the object from its one export, and the DLL's own allocations counted
// from the first load on (probes.h).
#ifndef BRL_DRIVER_DLL_H
#define BRL_DRIVER_DLL_H

#include <windows.h>

#include "brailledriver.h"

namespace testenv {

// The DLL's driver, or null when the DLL or its export is missing.
IBrailleDriver* LoadDriver();
HMODULE DriverModule();
// True when the allocation counter is installed on the DLL.
bool AllocationsCounted();

}  // namespace testenv

#endif
