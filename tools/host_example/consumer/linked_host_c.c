/* A host in C that links the import library: calls the driver through the
   header's C binding (lpVtbl) and prints what it says about itself. Needs no
   display. Builds with nothing but the header:
     x86_64-w64-mingw32-gcc -std=c99 -Wall -Werror -I<prefix>/include linked_host_c.c \
         <prefix>/lib/libbrailledriver.dll.a -o linked_host_c.exe */
#include <stdio.h>
#include <string.h>

#include "brailledriver.h"

int main(void) {
    IBrailleDriver* driver = GetBrailleInterface(NULL);
    char maker[16] = {0};
    unsigned char id[16] = {0};
    int32_t code;
    int i;
    if (!driver || !driver->lpVtbl->Identify(driver, maker, (int32_t)sizeof maker, id)) return 1;
    code = driver->lpVtbl->GetDriverCode(driver);
    printf("maker %s, driver code %d, id", maker, (int)code);
    for (i = 0; i < 16; ++i) printf(" %02X", id[i]);
    printf("\n");
    return strcmp(maker, BRL_MAKER) == 0 && code == BRL_DRIVER_CODE ? 0 : 1;
}
