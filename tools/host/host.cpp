// Console host: loads the driver DLL as a screen reader does, prints the keys it
// receives and writes text to the display as braille. `host --help` lists the
// options, the commands and the exit codes.
//
// Commands come from --script or from standard input, one per line, and run
// one after the other in the order given: a line that arrives while a `wait`
// or `expect-*` runs waits its turn. The end of the input quits.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "braille_table.h"
#include "brailledriver.h"
#include "first_run.h"
#include "system_message.h"
#include "tool_args.h"

namespace {

enum ExitCode {
    kExitDone = 0,
    kExitNoDll = 1,
    kExitBadArguments = tools::kExitBadArguments,
    kExitCommandFailed = 3,
    kExitNoPort = 4,
    kExitNoDisplay = 5,
};

const char kNotes[] =
    "Commands (from --script, separated by ';', or from standard input, one per line):\n"
    "  text WORDS        write WORDS as braille over the whole line of text cells\n"
    "  cells HEX...      write raw cell bytes (host dot order) to the text cells\n"
    "  all HEX...        write raw cell bytes from the first cell on (status cells too)\n"
    "  clear             blank the display\n"
    "  suspend | resume  release the port / take it back\n"
    "  info              print the cell counts\n"
    "  wait MS           keep handling key events for MS milliseconds\n"
    "  expect-key NAME [VALUE|*] [MS]  wait until that key arrives (default 5000 ms)\n"
    "  expect-typed C [MS]             wait until the display types character C\n"
    "  quit              stop the driver and end (also at the end of the input)\n"
    "Exit codes:\n"
    "  0 done; 1 brailledriver.dll cannot be loaded; 2 bad arguments;\n"
    "  3 an expect-* command failed or --timeout ran out; 4 the port cannot be opened;\n"
    "  5 the port opens but no display answered\n"
    "With --check: 0 every step passed; 3 a step failed or went unanswered; 4 and 5 as above.\n";

CRITICAL_SECTION g_out;

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
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
        Say("key %s %d\n", name, static_cast<int>(value));
        g_keys.push_back({name, value});
        return 0;
    }
    int32_t BRL_CALL OnData(IBrailleDriver*, const unsigned char* bytes, int32_t count) override {
        std::string line = "data";
        char hex[4];
        for (int32_t i = 0; i < count && i < 16; ++i) {
            std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
            line += hex;
        }
        Say("%s\n", line.c_str());
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

}  // namespace

// A window of its own class that takes the keyboard focus, so that the keys
// the driver types land in it; `user` goes to GWLP_USERDATA before it shows.
HWND CreateFocusWindow(WNDPROC proc, const char* className, const char* title, int width, int height, int show,
                       void* user) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = className;
    RegisterClassA(&wc);
    HWND window = CreateWindowExA(0, className, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, width, height,
                                  nullptr, nullptr, wc.hInstance, nullptr);
    if (!window) return nullptr;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(user));
    ShowWindow(window, show);
    SetForegroundWindow(window);
    SetFocus(window);
    return window;
}

namespace {

// The command lines, in order. The standard-input reader adds them on its
// thread; `ready` counts the lines not yet taken.
class CLineQueue {
public:
    CLineQueue() {
        InitializeCriticalSection(&lock);
        ready = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
    }
    void Push(const std::string& line) {
        EnterCriticalSection(&lock);
        lines.push_back(line);
        LeaveCriticalSection(&lock);
        ReleaseSemaphore(ready, 1, nullptr);
    }
    // Call only after `ready` was signalled (one line per signal).
    std::string Pop() {
        EnterCriticalSection(&lock);
        std::string line = lines.front();
        lines.pop_front();
        LeaveCriticalSection(&lock);
        return line;
    }
    HANDLE Ready() const { return ready; }

private:
    CRITICAL_SECTION lock;
    HANDLE ready;
    std::deque<std::string> lines;
};

const char kEndOfInput[] = "\x04";  // no command has this name

DWORD WINAPI StdinReader(LPVOID queue) {
    char line[1024];
    while (std::fgets(line, sizeof line, stdin)) {
        line[std::strcspn(line, "\r\n")] = 0;
        static_cast<CLineQueue*>(queue)->Push(line);
    }
    static_cast<CLineQueue*>(queue)->Push(kEndOfInput);
    return 0;
}

struct Session {
    IBrailleDriver* driver = nullptr;
    DWORD started = 0;
    DWORD timeout = 0;  // 0: no limit for the whole run
    bool failed = false;
    bool quit = false;

    // Milliseconds left of the run's time limit, capped at ms.
    DWORD Limit(DWORD ms) const {
        if (!timeout) return ms;
        const DWORD used = GetTickCount() - started;
        const DWORD left = used >= timeout ? 0 : timeout - used;
        return left < ms ? left : ms;
    }
    bool OutOfTime() const { return timeout && GetTickCount() - started >= timeout; }
};

// Handles window messages (key events, typed characters) for up to ms
// milliseconds, or until done() holds. Thread messages are left alone.
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

void Run(Session& s, const std::string& line) {
    std::istringstream in(line);
    std::string command;
    if (!(in >> command)) return;
    IBrailleDriver* d = s.driver;
    if (command == "text") {
        std::string rest;
        std::getline(in, rest);
        if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
        // The whole line: cells past the words are blank, so a shorter text
        // replaces a longer one completely.
        std::vector<unsigned char> cells = TextToCells(rest);
        const int32_t lineCells = d->GetTextCellCount();
        if (cells.size() < static_cast<size_t>(lineCells > 0 ? lineCells : 1))
            cells.resize(static_cast<size_t>(lineCells > 0 ? lineCells : 1), 0);
        Say("write \"%s\": %s\n", rest.c_str(),
            d->WriteTextCells(cells.data(), static_cast<int32_t>(cells.size())) ? "queued" : "refused");
    } else if (command == "cells" || command == "all") {
        std::vector<unsigned char> cells = ParseHex(in);
        const int32_t n = static_cast<int32_t>(cells.size());
        int ok = command == "cells" ? d->WriteTextCells(cells.data(), n) : d->WriteAllCells(cells.data(), n);
        Say("%s %d cells: %s\n", command.c_str(), static_cast<int>(n), ok ? "queued" : "refused");
    } else if (command == "clear") {
        Say("clear: %s\n", d->ClearCells() ? "queued" : "refused");
    } else if (command == "suspend" || command == "resume") {
        int ok = d->Suspend(command == "suspend" ? 1 : 0);
        Say("%s: %d\n", command.c_str(), ok);
    } else if (command == "info") {
        Say("cells: text %d, status %d, total %d\n", static_cast<int>(d->GetTextCellCount()),
            static_cast<int>(d->GetStatusCellCount()), static_cast<int>(d->GetTotalCellCount()));
    } else if (command == "wait") {
        DWORD ms = 0;
        in >> ms;
        Pump(s.Limit(ms), [] { return false; });
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
        if (!Pump(s.Limit(ms), seen)) {
            Say("FAILED: key %s %s did not arrive\n", name.c_str(), value.c_str());
            s.failed = true;
        }
    } else if (command == "expect-typed") {
        std::string c;
        DWORD ms = 5000;
        in >> c >> ms;
        if (c.empty() || !Pump(s.Limit(ms), [&] { return g_typed.find(c[0]) != std::string::npos; })) {
            Say("FAILED: character '%s' was not typed\n", c.c_str());
            s.failed = true;
        }
    } else if (command == "quit" || command == kEndOfInput) {
        s.quit = true;
    } else {
        Say("unknown command: %s\n", command.c_str());
    }
}

// Runs the queued lines in order while handling window messages, until quit
// or the run's time limit.
void RunCommands(Session& session, CLineQueue& queue) {
    while (!session.quit) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (session.OutOfTime()) {
            Say("FAILED: the run took longer than %lu ms\n", session.timeout);
            session.failed = true;
            return;
        }
        HANDLE ready = queue.Ready();
        const DWORD woke = MsgWaitForMultipleObjects(1, &ready, FALSE, session.Limit(INFINITE), QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) Run(session, queue.Pop());
    }
}

// After a failed Initialize: opens the port as the driver does, to tell a port
// that cannot be opened from a display that does not answer.
int ExplainFailedStart(const std::string& port) {
    const std::string path = "\\\\.\\" + port;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        Say("cannot open %s: %s; and no braille display on USB\n", port.c_str(), tools::SystemMessage(error).c_str());
        return kExitNoPort;
    }
    CloseHandle(h);
    Say("%s opens, but no braille display answered on it (nor on USB)\n", port.c_str());
    return kExitNoDisplay;
}

struct Options {
    std::string port = "COM1";
    std::string script;
    bool haveScript = false;
    DWORD timeout = 0;
    bool noFocusWindow = false;
    std::string check;  // the first-run check's port, or "usb"
    bool haveCheck = false;
    std::string report = "first-run-report.txt";
};

void DeclareOptions(tools::CArguments& args, Options& o) {
    args.Positional("PORT", "serial port to start the driver on (default COM1; a USB display is used first)", &o.port);
    args.Text("--script", "\"CMD; CMD\"", "run these commands instead of reading standard input", &o.script,
              &o.haveScript);
    args.Number("--timeout", "MS", "fail the run if it lasts longer than MS milliseconds (0: no limit)", 0, 0x7FFFFFFF,
                &o.timeout);
    args.Flag("--no-focus-window", "do not open the window that shows characters typed on the display",
              &o.noFocusWindow);
    args.Text("--check", "PORT|usb",
              "run the first-run check with a real display on PORT (or on USB) and write a report; "
              "answers come from standard input",
              &o.check, &o.haveCheck);
    args.Text("--report", "FILE", "where --check writes its report (default first-run-report.txt)", &o.report);
    args.Notes(kNotes);
}

}  // namespace

int main(int argc, char** argv) {
    InitializeCriticalSection(&g_out);
    Options options;
    tools::CArguments args(
        "host", "[PORT] [--script \"CMD; CMD\"] [--timeout MS] [--no-focus-window] [--check PORT|usb [--report FILE]]");
    DeclareOptions(args, options);
    if (std::optional<int> code = args.ParseOrExit(argc, argv)) return *code;

    HMODULE dll = LoadLibraryA("brailledriver.dll");
    if (!dll) {
        Say("cannot load brailledriver.dll: %s\n", tools::SystemMessage(GetLastError()).c_str());
        return kExitNoDll;
    }
    auto get =
        reinterpret_cast<GetBrailleInterfaceFn>(reinterpret_cast<void*>(GetProcAddress(dll, "GetBrailleInterface")));
    if (!get) {
        Say("brailledriver.dll has no GetBrailleInterface\n");
        return kExitNoDll;
    }
    IBrailleDriver* driver = get(nullptr);
    if (options.haveCheck) {
        // The check's reader of standard input may still wait for a line;
        // ending the process ends it.
        const int code = RunFirstRunCheck(driver, options.check, options.report);
        std::fflush(stdout);
        ExitProcess(static_cast<UINT>(code));
    }
    char maker[16] = {};
    unsigned char guid[16] = {};
    driver->Identify(maker, sizeof maker, guid);
    std::string guidText;
    char hex[4];
    for (unsigned char b : guid) {
        std::snprintf(hex, sizeof hex, " %02X", b);
        guidText += hex;
    }
    Say("driver: maker \"%s\", code %d, GUID%s\n", maker, static_cast<int>(driver->GetDriverCode()), guidText.c_str());

    HWND focus = options.noFocusWindow ? nullptr
                                       : CreateFocusWindow(FocusWindowProc, "BrailleConsoleHost", "braille host", 200,
                                                           100, SW_SHOWNOACTIVATE, nullptr);
    CConsoleHost host;
    const DWORD started = GetTickCount();
    Say("opening %s ...\n", options.port.c_str());
    if (!driver->Initialize(options.port.c_str(), &host, "console host", "")) {
        const int code = ExplainFailedStart(options.port);
        if (focus) DestroyWindow(focus);
        return code;
    }
    Say("display ready after %lu ms: %d text cells, %d status cells\n", GetTickCount() - started,
        static_cast<int>(driver->GetTextCellCount()), static_cast<int>(driver->GetStatusCellCount()));

    Session session;
    session.driver = driver;
    session.started = started;
    session.timeout = options.timeout;
    CLineQueue queue;
    if (options.haveScript) {
        std::istringstream script(options.script);
        std::string line;
        while (std::getline(script, line, ';')) {
            std::istringstream lines(line);
            std::string part;
            while (std::getline(lines, part)) queue.Push(part);
        }
        queue.Push(kEndOfInput);
    } else {
        Say("commands: text WORDS | cells HEX.. | all HEX.. | clear | suspend | resume | info | wait MS | quit\n");
        HANDLE reader = CreateThread(nullptr, 0, StdinReader, &queue, 0, nullptr);
        if (reader) CloseHandle(reader);
    }
    RunCommands(session, queue);

    driver->Terminate();
    if (focus) DestroyWindow(focus);
    Say("terminated; %u key events, %u characters typed%s\n", static_cast<unsigned>(g_keys.size()),
        static_cast<unsigned>(g_typed.size()), session.failed ? "; FAILED" : "");
    // The standard-input reader may still be blocked in a read; ending the
    // process ends it.
    std::fflush(stdout);
    ExitProcess(session.failed ? kExitCommandFailed : kExitDone);
}
