/* The host example in C: loads the braille display driver, calls every slot of
   its table through lpVtbl, implements IBrailleHost in C, and shows the keys
   the display reports, as the C++ example (host_example.cpp) does.

     host_example_c [PORT] [SECONDS]

   Exit codes: 0 done; 1 brailledriver.dll cannot be loaded; 2 bad arguments;
   3 no display; 4 a slot gave a result other than the one documented. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "brailledriver.h"

/* Letters a-z in the host's dot order (bit 0 is dot 1); anything else blank. */
static const unsigned char kLetters[26] = {0x01, 0x03, 0x09, 0x19, 0x11, 0x0B, 0x1B, 0x13, 0x0A,
                                           0x1A, 0x05, 0x07, 0x0D, 0x1D, 0x15, 0x0F, 0x1F, 0x17,
                                           0x0E, 0x1E, 0x25, 0x27, 0x3A, 0x2D, 0x3D, 0x35};

/* Writes text over the whole line of text cells. */
static void ShowText(IBrailleDriver* driver, const char* text) {
    unsigned char cells[80];
    int count = driver->lpVtbl->GetTextCellCount(driver);
    int i;
    if (count > (int)sizeof cells) count = (int)sizeof cells;
    memset(cells, 0, sizeof cells);
    for (i = 0; i < count && text[i]; ++i) {
        const char c = text[i];
        if (c >= 'a' && c <= 'z') cells[i] = kLetters[c - 'a'];
        if (c >= 'A' && c <= 'Z') cells[i] = (unsigned char)(kLetters[c - 'A'] | 0x40);
    }
    if (!driver->lpVtbl->WriteTextCells(driver, cells, count)) printf("write refused (suspended?)\n");
}

/* The host object: IBrailleHost first, so a pointer to it is a pointer to the
   host; the host's own fields follow. */
typedef struct ExampleHost {
    IBrailleHost iface;
    int keys;
} ExampleHost;

/* Slot 0: a key, on the thread that called Initialize while it dispatches
   messages; it may call the driver. */
static int32_t BRL_CALL ExampleOnKey(IBrailleHost* This, IBrailleDriver* driver, const char* name, int32_t value) {
    ExampleHost* host = (ExampleHost*)This;
    char line[64];
    ++host->keys;
    printf("key %s %d\n", name, (int)value);
    fflush(stdout);
    snprintf(line, sizeof line, "%s %d", name, (int)value);
    ShowText(driver, line);
    return 0;
}

/* Slot 1: raw notification bytes, on the driver's worker thread. */
static int32_t BRL_CALL ExampleOnData(IBrailleHost* This, IBrailleDriver* driver, const unsigned char* bytes,
                                      int32_t count) {
    int32_t i;
    (void)This;
    (void)driver;
    printf("data %d bytes:", (int)count);
    for (i = 0; i < count; ++i) printf(" %02X", bytes[i]);
    printf("\n");
    fflush(stdout);
    return 0;
}

static const IBrailleHostVtbl kExampleHostVtbl = {ExampleOnKey, ExampleOnData};

static int g_wrong = 0;

static void Expect(const char* what, long got, long wanted) {
    if (got != wanted) {
        printf("%s gave %ld, expected %ld\n", what, got, wanted);
        g_wrong = 1;
    }
}

/* Slots with no use for this display: each returns 0 or nothing. */
static void CallUnusedSlots(IBrailleDriver* d) {
    const IBrailleDriverVtbl* v = d->lpVtbl;
    const int32_t results[] = {v->Unsupported05(d, 1, 2),    v->Unsupported07(d),    v->Unsupported08(d),
                               v->Unsupported09(d),          v->Unsupported10(d, 1), v->Unsupported14(d, 1, 2),
                               v->Unsupported15(d),          v->Unsupported19(d),    v->Unsupported22(d),
                               v->Unsupported23(d, 1, 2, 3), v->Unsupported24(d),    v->Unsupported25(d, 1, 2),
                               v->Unsupported26(d, 1, 2, 3), v->Unsupported27(d, 1), v->Unsupported28(d, 1),
                               v->Unsupported29(d),          v->Unsupported31(d),    v->Unsupported33(d)};
    size_t i;
    int nonzero = 0;
    v->NoOp17(d);
    v->NoOp30(d, 1);
    v->NoOp32(d, 1);
    for (i = 0; i < sizeof results / sizeof results[0]; ++i)
        if (results[i] != 0) nonzero = 1;
    printf("unused slots: %s\n", nonzero ? "some returned nonzero" : "all return 0");
    if (nonzero) g_wrong = 1;
}

static int ParseSeconds(const char* text, unsigned* out) {
    char* end = NULL;
    unsigned long value;
    if (!text[0] || text[0] < '0' || text[0] > '9') return 0;
    value = strtoul(text, &end, 10);
    if (*end || value > 86400) return 0;
    *out = (unsigned)value;
    return 1;
}

int main(int argc, char** argv) {
    const char* port = "COM1";
    unsigned seconds = 10;
    HMODULE dll;
    GetBrailleInterfaceFn getInterface;
    IBrailleDriver* driver;
    const IBrailleDriverVtbl* v;
    ExampleHost host;
    char text[256];
    unsigned char id[16];
    static const unsigned char kId[16] = BRL_DRIVER_GUID_BYTES;
    UINT_PTR timer;
    MSG msg;
    int i;

    if (argc > 1 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"))) {
        printf(
            "usage: host_example_c [PORT] [SECONDS]\n"
            "Exit codes: 0 done; 1 brailledriver.dll cannot be loaded; 2 bad arguments; 3 no display;\n"
            "  4 a slot gave a result other than the documented one\n");
        return 0;
    }
    if (argc > 3 || (argc > 1 && argv[1][0] == '-') || (argc > 2 && !ParseSeconds(argv[2], &seconds))) {
        fprintf(stderr, "usage: host_example_c [PORT] [SECONDS]\n");
        return 2;
    }
    if (argc > 1) port = argv[1];

    /* 1. Load the DLL and fetch its one export by name. */
    dll = LoadLibraryA("brailledriver.dll");
    if (!dll) {
        const DWORD error = GetLastError();
        char reason[256] = "";
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, reason,
                       sizeof reason, NULL);
        reason[strcspn(reason, "\r\n")] = 0;
        printf("cannot load brailledriver.dll: %s (error %lu)\n", reason, error);
        return 1;
    }
    getInterface = (GetBrailleInterfaceFn)(void (*)(void))GetProcAddress(dll, "GetBrailleInterface");
    if (!getInterface) {
        printf("brailledriver.dll does not export GetBrailleInterface\n");
        FreeLibrary(dll);
        return 1;
    }
    driver = getInterface(NULL);
    v = driver->lpVtbl;

    /* 2. What the driver says about itself (slots 34 and 6). */
    memset(text, 0, sizeof text);
    Expect("Identify", v->Identify(driver, text, (int32_t)sizeof text, id), 1);
    printf("maker %s, driver code %d, id", text, (int)v->GetDriverCode(driver));
    for (i = 0; i < 16; ++i) printf(" %02X", id[i]);
    printf("\n");
    Expect("maker", strcmp(text, BRL_MAKER), 0);
    Expect("GetDriverCode", v->GetDriverCode(driver), BRL_DRIVER_CODE);
    Expect("driver id", memcmp(id, kId, sizeof id), 0);

    /* 3. Start the driver with this host (slot 0), from the thread that will
       run the message loop. */
    host.iface.lpVtbl = &kExampleHostVtbl;
    host.keys = 0;
    if (!v->Initialize(driver, port, &host.iface, "host example in C", "second text")) {
        printf("no braille display on %s or on USB\n", port);
        FreeLibrary(dll);
        return 3;
    }
    printf("display on %s: %d text cells, %d status cells\n", port, (int)v->GetTextCellCount(driver),
           (int)v->GetStatusCellCount(driver));
    Expect("GetTotalCellCount", v->GetTotalCellCount(driver),
           v->GetTextCellCount(driver) + v->GetStatusCellCount(driver));
    Expect("GetInitString1", v->GetInitString1(driver, text, (int32_t)sizeof text), 17);
    Expect("GetInitString2", v->GetInitString2(driver, text, (int32_t)sizeof text), 11);
    Expect("SetHost", v->SetHost(driver, &host.iface) == &host.iface, 1);
    CallUnusedSlots(driver);
    Expect("Suspend(1)", v->Suspend(driver, 1), 1);
    Expect("write while suspended", v->ClearCells(driver), 0);
    Expect("Suspend(0)", v->Suspend(driver, 0), 1);
    fflush(stdout);

    /* 4. Write: every cell blank (status cells too), then a line of text. */
    memset(text, 0, sizeof text);
    Expect("ClearCells", v->ClearCells(driver), 1);
    Expect("WriteAllCells", v->WriteAllCells(driver, (const unsigned char*)text, v->GetTotalCellCount(driver)), 1);
    ShowText(driver, "hello from the host");

    /* 5. A message loop on this thread: keys reach OnKey only while it
       dispatches messages. A thread timer ends it. */
    timer = SetTimer(NULL, 0, seconds * 1000, NULL);
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        if (msg.message == WM_TIMER && !msg.hwnd && msg.wParam == timer) break;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    KillTimer(NULL, timer);

    /* 6. Stop (slot 1) before unloading the DLL. */
    v->Terminate(driver);
    FreeLibrary(dll);
    printf("keys received: %d\nstopped\n", host.keys);
    return g_wrong ? 4 : 0;
}
