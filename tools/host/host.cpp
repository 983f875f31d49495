// Console host: loads the driver DLL as a screen reader does, prints the keys it
// receives and writes text to the display as braille.
//
//   host [PORT] [--script "CMD; CMD; ..."] [--timeout MS]
//
// Without --script it reads commands from standard input, one per line:
//   text WORDS        write WORDS as braille to the text cells
//   cells HEX...      write raw cell bytes (host dot order) to the text cells
//   all HEX...        write raw cell bytes from the first cell on (status cells too)
//   clear             blank the display
//   suspend | resume  release the port / take it back
//   info              print the cell counts
//   wait MS           keep handling key events for MS milliseconds
//   expect-key NAME [VALUE] [MS]   wait until that key arrives (fails the run otherwise)
//   expect-typed C [MS]            wait until the display types character C
//   quit
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "braille_table.h"
#include "brailledriver.h"

namespace {
constexpr UINT WM_HOST_LINE = WM_APP + 1;  // a command line from the stdin reader
CRITICAL_SECTION g_out;

void Say(const char* format, ...) {
    EnterCriticalSection(&g_out);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
    LeaveCriticalSection(&g_out);
}

struct KeySeen {
    std::string name;
    int32_t value;
};
std::vector<KeySeen> g_keys;
std::string g_typed;

class CConsoleHost : public IBrailleHost {
public:
    int32_t BRL_CALL OnKey(IBrailleDriver*, const char* name, int32_t value) override {
        Say("key %s %d\n", name, value);
        g_keys.push_back({name, value});
        return 0;
    }
    int32_t BRL_CALL OnData(IBrailleDriver*, const unsigned char* bytes, int32_t count) override {
        Say("data");
        for (int32_t i = 0; i < count && i < 16; ++i) Say(" %02X", bytes[i]);
        Say("\n");
        return 0;
    }
};

// The window that has the keyboard focus, so characters typed on the display
// (replayed as keystrokes) reach this host and can be shown.
LRESULT CALLBACK FocusWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CHAR) {
        const char c = static_cast<char>(wParam);
        g_typed.push_back(c);
        Say("typed '%c' (0x%02X)\n", c >= 0x20 && c < 0x7F ? c : '?', static_cast<unsigned>(wParam & 0xFF));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateFocusWindow() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = FocusWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "BrailleConsoleHost";
    RegisterClassA(&wc);
    HWND window = CreateWindowExA(0, wc.lpszClassName, "braille host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                  nullptr, wc.hInstance, nullptr);
    if (window) {
        ShowWindow(window, SW_SHOWNOACTIVATE);
        SetForegroundWindow(window);
        SetFocus(window);
    }
    return window;
}

// Handles messages (key events, typed characters) for up to ms milliseconds,
// or until done() holds.
template <typename Done>
bool Pump(DWORD ms, Done done) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (done()) return true;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed < 20 ? ms - elapsed : 20, QS_ALLINPUT);
    }
}

std::vector<unsigned char> ParseHex(std::istringstream& in) {
    std::vector<unsigned char> cells;
    std::string word;
    while (in >> word) cells.push_back(static_cast<unsigned char>(std::strtoul(word.c_str(), nullptr, 16)));
    return cells;
}

struct Session {
    IBrailleDriver* driver = nullptr;
    bool failed = false;
    bool quit = false;
};

void Run(Session& s, const std::string& line) {
    std::istringstream in(line);
    std::string command;
    if (!(in >> command)) return;
    IBrailleDriver* d = s.driver;
    if (command == "text") {
        std::string rest;
        std::getline(in, rest);
        if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
        std::vector<unsigned char> cells = TextToCells(rest);
        if (cells.empty()) cells.push_back(0);
        Say("write \"%s\": %s\n", rest.c_str(),
            d->WriteTextCells(cells.data(), static_cast<int32_t>(cells.size())) ? "queued" : "refused");
    } else if (command == "cells" || command == "all") {
        std::vector<unsigned char> cells = ParseHex(in);
        const int32_t n = static_cast<int32_t>(cells.size());
        int ok = command == "cells" ? d->WriteTextCells(cells.data(), n) : d->WriteAllCells(cells.data(), n);
        Say("%s %d cells: %s\n", command.c_str(), n, ok ? "queued" : "refused");
    } else if (command == "clear") {
        Say("clear: %s\n", d->ClearCells() ? "queued" : "refused");
    } else if (command == "suspend" || command == "resume") {
        int ok = d->Suspend(command == "suspend" ? 1 : 0);
        Say("%s: %d\n", command.c_str(), ok);
    } else if (command == "info") {
        Say("cells: text %d, status %d, total %d\n", d->GetTextCellCount(), d->GetStatusCellCount(),
            d->GetTotalCellCount());
    } else if (command == "wait") {
        DWORD ms = 0;
        in >> ms;
        Pump(ms, [] { return false; });
    } else if (command == "expect-key") {
        std::string name;
        std::string value;
        DWORD ms = 5000;
        in >> name >> value >> ms;
        const bool anyValue = value.empty() || value == "*";
        const int32_t wanted = anyValue ? 0 : static_cast<int32_t>(std::strtol(value.c_str(), nullptr, 10));
        auto seen = [&] {
            for (const KeySeen& k : g_keys)
                if (k.name == name && (anyValue || k.value == wanted)) return true;
            return false;
        };
        if (!Pump(ms, seen)) {
            Say("FAILED: key %s %s did not arrive\n", name.c_str(), value.c_str());
            s.failed = true;
        }
    } else if (command == "expect-typed") {
        std::string c;
        DWORD ms = 5000;
        in >> c >> ms;
        if (c.empty() || !Pump(ms, [&] { return g_typed.find(c[0]) != std::string::npos; })) {
            Say("FAILED: character '%s' was not typed\n", c.c_str());
            s.failed = true;
        }
    } else if (command == "quit") {
        s.quit = true;
    } else {
        Say("unknown command: %s\n", command.c_str());
    }
}

DWORD WINAPI StdinReader(LPVOID mainThread) {
    char line[1024];
    const DWORD target = static_cast<DWORD>(reinterpret_cast<uintptr_t>(mainThread));
    // Each posted line belongs to the main thread, which frees it after running it.
    while (std::fgets(line, sizeof line, stdin)) {  // NOLINT(clang-analyzer-unix.Malloc): posted, see above
        line[std::strcspn(line, "\r\n")] = 0;
        PostThreadMessageA(target, WM_HOST_LINE, reinterpret_cast<WPARAM>(_strdup(line)), 0);
    }
    PostThreadMessageA(target, WM_HOST_LINE, reinterpret_cast<WPARAM>(_strdup("quit")), 0);
    return 0;  // NOLINT(clang-analyzer-unix.Malloc): posted, see above
}

std::vector<std::string> SplitScript(const std::string& script) {
    std::vector<std::string> lines;
    std::string current;
    for (char c : script) {
        if (c == ';' || c == '\n') {
            lines.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}
}  // namespace

int main(int argc, char** argv) {
    InitializeCriticalSection(&g_out);
    std::string port = "COM1";
    std::string script;
    bool haveScript = false;
    DWORD timeout = 0;
    bool focusWindow = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--script") && i + 1 < argc) {
            script = argv[++i];
            haveScript = true;
        } else if (!std::strcmp(argv[i], "--timeout") && i + 1 < argc) {
            timeout = std::strtoul(argv[++i], nullptr, 10);
        } else if (!std::strcmp(argv[i], "--no-focus-window")) {
            focusWindow = false;
        } else if (!std::strcmp(argv[i], "--help")) {
            std::printf("usage: host [PORT] [--script \"CMD; CMD\"] [--timeout MS]\n");
            return 0;
        } else {
            port = argv[i];
        }
    }

    HMODULE dll = LoadLibraryA("brailledriver.dll");
    if (!dll) {
        Say("cannot load brailledriver.dll (error %lu)\n", GetLastError());
        return 1;
    }
    auto get =
        reinterpret_cast<GetBrailleInterfaceFn>(reinterpret_cast<void*>(GetProcAddress(dll, "GetBrailleInterface")));
    if (!get) {
        Say("brailledriver.dll has no GetBrailleInterface\n");
        return 1;
    }
    IBrailleDriver* driver = get(nullptr);
    char maker[16] = {};
    unsigned char guid[16] = {};
    driver->Identify(maker, sizeof maker, guid);
    Say("driver: maker \"%s\", code %d, GUID", maker, driver->GetDriverCode());
    for (unsigned char b : guid) Say(" %02X", b);
    Say("\n");

    HWND focus = focusWindow ? CreateFocusWindow() : nullptr;
    CConsoleHost host;
    const DWORD started = GetTickCount();
    Say("opening %s ...\n", port.c_str());
    if (!driver->Initialize(port.c_str(), &host, "console host", "")) {
        Say("no braille display found on %s (nor on USB)\n", port.c_str());
        return 2;
    }
    Say("display ready after %lu ms: %d text cells, %d status cells\n", GetTickCount() - started,
        driver->GetTextCellCount(), driver->GetStatusCellCount());

    Session session;
    session.driver = driver;
    if (haveScript) {
        for (const std::string& line : SplitScript(script)) {
            if (timeout && GetTickCount() - started > timeout) {
                Say("FAILED: script took longer than %lu ms\n", timeout);
                session.failed = true;
                break;
            }
            Run(session, line);
            if (session.quit) break;
        }
    } else {
        Say("commands: text WORDS | cells HEX.. | all HEX.. | clear | suspend | resume | info | wait MS | quit\n");
        CreateThread(nullptr, 0, StdinReader, reinterpret_cast<LPVOID>(static_cast<uintptr_t>(GetCurrentThreadId())), 0,
                     nullptr);
        MSG msg;
        while (!session.quit && GetMessageA(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == WM_HOST_LINE && !msg.hwnd) {
                char* line = reinterpret_cast<char*>(msg.wParam);
                Run(session, line);
                std::free(line);
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    driver->Terminate();
    if (focus) DestroyWindow(focus);
    Say("terminated; %u key events, %u characters typed%s\n", static_cast<unsigned>(g_keys.size()),
        static_cast<unsigned>(g_typed.size()), session.failed ? "; FAILED" : "");
    return session.failed ? 3 : 0;
}
