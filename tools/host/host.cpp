// Console host: loads the driver DLL as a screen reader does.
#include <windows.h>

#include <cstdio>

#include "brailledriver.h"

int main(int argc, char** argv) {
    const char* port = argc > 1 ? argv[1] : "COM1";
    HMODULE dll = LoadLibraryA("brailledriver.dll");
    if (!dll) {
        std::printf("cannot load brailledriver.dll (error %lu)\n", GetLastError());
        return 1;
    }
    auto get = reinterpret_cast<GetBrailleInterfaceFn>(reinterpret_cast<void*>(GetProcAddress(dll, "GetBrailleInterface")));
    if (!get) {
        std::printf("brailledriver.dll has no GetBrailleInterface\n");
        return 1;
    }
    IBrailleDriver* driver = get(nullptr);
    char name[16] = {};
    unsigned char guid[16] = {};
    int ok = driver->Identify(name, sizeof name, guid);
    std::printf("Identify: %d, maker \"%s\", GUID", ok, name);
    for (unsigned char b : guid) std::printf(" %02X", b);
    std::printf("\nGetDriverCode: %d\n", driver->GetDriverCode());
    std::printf("cells: text %d, status %d, total %d\n", driver->GetTextCellCount(), driver->GetStatusCellCount(),
                driver->GetTotalCellCount());
    std::printf("Initialize(\"%s\") ...\n", port);
    if (!driver->Initialize(port, nullptr, "", "")) {
        std::printf("no braille display found on %s (nor on USB)\n", port);
        return 2;
    }
    std::printf("display found: %d text cells, %d status cells\n", driver->GetTextCellCount(),
                driver->GetStatusCellCount());
    driver->Terminate();
    return 0;
}
