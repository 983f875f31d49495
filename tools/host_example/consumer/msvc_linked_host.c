/* A host built the way Microsoft's tools build it: compiled for the MSVC ABI
   and linked against lib/brailledriver.lib, with no C runtime at all. The
   package check builds it with clang and lld-link (which read the same import
   library format as link.exe) and runs it; its exit code says what was wrong:
   0 all well, 1 no driver, 2 Identify failed, 3 wrong maker, 4 wrong GUID,
   5 wrong driver code.
     clang --target=x86_64-pc-windows-msvc -ffreestanding -I<prefix>/include -c msvc_linked_host.c
     lld-link /entry:Start /subsystem:console /nodefaultlib msvc_linked_host.obj <prefix>/lib/brailledriver.lib */
#include "brailledriver.h"

int Start(void) {
    static const char kMaker[] = BRL_MAKER;
    static const unsigned char kId[16] = BRL_DRIVER_GUID_BYTES;
    IBrailleDriver* driver = GetBrailleInterface(0);
    static char maker[16];       /* static: zeroed without a call to memset */
    static unsigned char id[16];
    int i;
    if (!driver) return 1;
    if (!driver->lpVtbl->Identify(driver, maker, (int32_t)sizeof maker, id)) return 2;
    for (i = 0; i < (int)sizeof kMaker; ++i)
        if (maker[i] != kMaker[i]) return 3;
    for (i = 0; i < 16; ++i)
        if (id[i] != kId[i]) return 4;
    return driver->lpVtbl->GetDriverCode(driver) == BRL_DRIVER_CODE ? 0 : 5;
}
