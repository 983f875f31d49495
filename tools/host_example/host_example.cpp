// The smallest complete host: how a screen reader loads and drives the braille
// display driver. Read it top to bottom; every step a host needs is here.
//
//   host_example [PORT] [SECONDS]        (host_example --help lists the exit codes)
//
// Loads brailledriver.dll, starts the driver on PORT (default COM1; a USB
// display, when one is plugged in, is used instead), writes a line of braille,
// then for SECONDS seconds (default 10) prints every key the display reports
// and shows the key's name on the display. Then it stops the driver.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "brailledriver.h"
#include "system_message.h"  // the tools' shared helpers, not needed by a host
#include "tool_args.h"

namespace {

// Cells are one byte each in the host's dot order: bit 0 is dot 1, bit 7 dot 8.
// Letters a-z of literary braille; digits as the number sign and a-j.
constexpr unsigned char kLetters[26] = {0x01, 0x03, 0x09, 0x19, 0x11, 0x0B, 0x1B, 0x13, 0x0A, 0x1A, 0x05, 0x07, 0x0D,
                                        0x1D, 0x15, 0x0F, 0x1F, 0x17, 0x0E, 0x1E, 0x25, 0x27, 0x3A, 0x2D, 0x3D, 0x35};
constexpr unsigned char kNumberSign = 0x3C;  // dots 3456
constexpr unsigned char kCapital = 0x40;     // dot 7 marks a capital letter

// Writes text as braille to the display's text cells. The driver copies the
// cells before WriteTextCells returns, so a stack buffer is fine; the call
// never waits for the display.
void ShowText(IBrailleDriver* driver, const char* text) {
    unsigned char cells[80] = {};
    int count = driver->GetTextCellCount();
    if (count > static_cast<int>(sizeof cells)) count = sizeof cells;
    int n = 0;
    for (const char* p = text; *p && n < count; ++p) {
        const char c = *p;
        if (c >= 'a' && c <= 'z') {
            cells[n++] = kLetters[c - 'a'];
        } else if (c >= 'A' && c <= 'Z') {
            cells[n++] = static_cast<unsigned char>(kLetters[c - 'A'] | kCapital);
        } else if (c >= '0' && c <= '9') {
            cells[n++] = kNumberSign;
            if (n < count) cells[n++] = kLetters[c == '0' ? 9 : c - '1'];
        } else {
            ++n;  // anything else shows as a blank cell
        }
    }
    // Cells past the text are blank, so a shorter text clears the rest of the line.
    if (!driver->WriteTextCells(cells, count)) std::printf("write refused (suspended?)\n");
}

// The host's callback object. The driver calls it through its two virtual
// slots, in this order; keep the layout exactly as IBrailleHost declares it.
class CExampleHost : public IBrailleHost {
public:
    // Slot 0: a key on the display. Runs on the thread that called Initialize,
    // while that thread dispatches its messages, so it may call the driver.
    int32_t BRL_CALL OnKey(IBrailleDriver* driver, const char* name, int32_t value) override {
        std::printf("key %s %d\n", name, static_cast<int>(value));
        std::fflush(stdout);
        char line[64];
        std::snprintf(line, sizeof line, "%s %d", name, static_cast<int>(value));
        ShowText(driver, line);
        return 0;
    }
    // Slot 1: raw notification bytes (three bytes when the display's Ctrl key
    // goes down or up). Runs on the driver's worker thread: copy what you need
    // and return at once; the bytes are gone after the call.
    int32_t BRL_CALL OnData(IBrailleDriver*, const unsigned char* bytes, int32_t count) override {
        std::printf("data %d bytes:", static_cast<int>(count));
        for (int32_t i = 0; i < count; ++i) std::printf(" %02X", bytes[i]);
        std::printf("\n");
        std::fflush(stdout);
        return 0;
    }
};

}  // namespace

int main(int argc, char** argv) {
    std::string portName = "COM1";
    unsigned long seconds = 10;
    tools::CArguments args("host_example", "[PORT] [SECONDS]");
    args.Positional("PORT", "serial port to start the driver on (default COM1)", &portName);
    args.PositionalNumber("SECONDS", "how long to show keys (default 10)", 0, 86400, &seconds);
    args.Notes("Exit codes: 0 done; 1 brailledriver.dll cannot be loaded; 2 bad arguments; 3 no display\n");
    if (std::optional<int> code = args.ParseOrExit(argc, argv)) return *code;
    const char* port = portName.c_str();

    // 1. Load the DLL and fetch its one export by name.
    HMODULE dll = LoadLibraryA("brailledriver.dll");
    if (!dll) {
        std::printf("cannot load brailledriver.dll: %s\n", tools::SystemMessage(GetLastError()).c_str());
        return 1;
    }
    auto getInterface =
        reinterpret_cast<GetBrailleInterfaceFn>(reinterpret_cast<void*>(GetProcAddress(dll, "GetBrailleInterface")));
    if (!getInterface) {
        std::printf("brailledriver.dll does not export GetBrailleInterface\n");
        FreeLibrary(dll);
        return 1;
    }
    IBrailleDriver* driver = getInterface(nullptr);  // always the same object

    // 2. Start the driver on a port, from the thread that will run the message
    // loop. This blocks while the driver looks for a USB display and then for
    // a display on the serial port (about 3 s when nothing answers).
    CExampleHost host;
    if (!driver->Initialize(port, &host, "host example", "")) {
        std::printf("no braille display on %s or on USB\n", port);
        FreeLibrary(dll);
        return 3;
    }
    std::printf("display on %s: %d text cells, %d status cells\n", port, static_cast<int>(driver->GetTextCellCount()),
                static_cast<int>(driver->GetStatusCellCount()));
    std::fflush(stdout);

    // 3. Write something.
    ShowText(driver, "hello from the host");

    // 4. Run a message loop on this same thread. Keys reach OnKey only while
    // this thread dispatches its messages (they arrive at a hidden window the
    // driver created on this thread). A thread timer ends the example.
    const UINT_PTR timer = SetTimer(nullptr, 0, static_cast<UINT>(seconds * 1000), nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && !msg.hwnd && msg.wParam == timer) break;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    KillTimer(nullptr, timer);

    // 5. Stop: closes the port, ends the worker thread, removes the hidden
    // window. Call it before unloading the DLL.
    driver->Terminate();
    FreeLibrary(dll);
    std::printf("stopped\n");
    return 0;
}
