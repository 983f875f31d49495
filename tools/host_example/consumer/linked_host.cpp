// A host that links the import library instead of calling LoadLibrary: the
// loader brings brailledriver.dll in with the program. Prints what the driver
// says about itself; needs no display.
#include <cstdio>
#include <cstring>

#include "brailledriver.h"

int main() {
    IBrailleDriver* driver = GetBrailleInterface(nullptr);
    char maker[16] = {};
    unsigned char id[16] = {};
    if (!driver || !driver->Identify(maker, sizeof maker, id)) return 1;
    std::printf("maker %s, driver code %d, id", maker, static_cast<int>(driver->GetDriverCode()));
    for (unsigned char b : id) std::printf(" %02X", b);
    std::printf("\n");
    return std::strcmp(maker, "KVR") == 0 ? 0 : 1;
}
