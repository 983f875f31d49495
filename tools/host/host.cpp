// Console host: loads the driver DLL as a screen reader does, prints the keys it
// receives and writes text to the display as braille. `host --help` lists the
// options, the commands and the exit codes.
//
// Commands come from --script or from standard input, one per line, and run
// one after the other in the order given: a line that arrives while a `wait`
// or `expect-*` runs waits its turn. The end of the input quits.
#include <windows.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "braille_table.h"
#include "brailledriver.h"
#include "commands.h"
#include "console_text.h"
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
    "With --check: 0 every step passed; 3 a step failed or was not checked; 4 and 5 as above.\n"
    "A --script is checked before the driver starts: an unknown command or a malformed\n"
    "argument exits 2 naming the command and its position. A bad line from standard\n"
    "input is refused and the host goes on.\n";

// Every line the host prints, whole (see console_text.h).
#define Say tools::Print

struct KeySeen {
    std::string name;
    int32_t value;
};
std::vector<KeySeen> g_keys;
std::wstring g_typed;  // UTF-16, as WM_CHAR brings it
bool g_showBraille = false;

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
        const wchar_t c = static_cast<wchar_t>(wParam);
        g_typed.push_back(c);
        char utf8[8] = "?";
        if (c >= 0x20 && c != 0x7F)
            utf8[WideCharToMultiByte(CP_UTF8, 0, &c, 1, utf8, sizeof utf8 - 1, nullptr, nullptr)] = 0;
        Say("typed '%s' (U+%04X)\n", utf8, static_cast<unsigned>(c));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

// A window of its own class that takes the keyboard focus, so that the keys
// the driver types land in it; `user` goes to GWLP_USERDATA before it shows.
// A Unicode window: WM_CHAR brings UTF-16, whatever the ANSI code page.
HWND CreateFocusWindow(WNDPROC proc, const wchar_t* className, const wchar_t* title, int width, int height, int show,
                       void* user) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = className;
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, className, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, width, height,
                                  nullptr, nullptr, wc.hInstance, nullptr);
    if (!window) return nullptr;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(user));
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
    std::string line;
    while (tools::ReadLine(&line)) static_cast<CLineQueue*>(queue)->Push(line);
    static_cast<CLineQueue*>(queue)->Push(kEndOfInput);
    return 0;
}

bool IsUsbPort(const std::string& port) { return _stricmp(port.c_str(), "usb") == 0; }

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
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done()) return true;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed < 20 ? ms - elapsed : 20, QS_ALLINPUT);
    }
}

// What a write put on the display, as a braille viewer shows it.
std::string BrailleBeside(const std::vector<unsigned char>& cells) {
    return g_showBraille ? "  " + CellsToBraille(cells) : std::string();
}

void Run(Session& s, const HostCommand& c) {
    IBrailleDriver* d = s.driver;
    using Kind = HostCommand::Kind;
    switch (c.kind) {
    case Kind::kText: {
        // The whole line: cells past the words are blank, so a shorter text
        // replaces a longer one completely.
        std::vector<unsigned char> cells = TextToCells(c.text);
        const int32_t lineCells = d->GetTextCellCount();
        if (cells.size() < static_cast<size_t>(lineCells > 0 ? lineCells : 1))
            cells.resize(static_cast<size_t>(lineCells > 0 ? lineCells : 1), 0);
        Say("write \"%s\": %s%s\n", c.text.c_str(),
            d->WriteTextCells(cells.data(), static_cast<int32_t>(cells.size())) ? "queued" : "refused",
            BrailleBeside(cells).c_str());
        break;
    }
    case Kind::kCells:
    case Kind::kAll: {
        std::vector<unsigned char> cells = c.cells;
        const int32_t n = static_cast<int32_t>(cells.size());
        const bool text = c.kind == Kind::kCells;
        int ok = text ? d->WriteTextCells(cells.data(), n) : d->WriteAllCells(cells.data(), n);
        Say("%s %d cells: %s%s\n", text ? "cells" : "all", static_cast<int>(n), ok ? "queued" : "refused",
            BrailleBeside(cells).c_str());
        break;
    }
    case Kind::kClear:
        Say("clear: %s\n", d->ClearCells() ? "queued" : "refused");
        break;
    case Kind::kSuspend:
    case Kind::kResume:
        Say("%s: %d\n", c.kind == Kind::kSuspend ? "suspend" : "resume",
            static_cast<int>(d->Suspend(c.kind == Kind::kSuspend ? 1 : 0)));
        break;
    case Kind::kInfo:
        Say("cells: text %d, status %d, total %d\n", static_cast<int>(d->GetTextCellCount()),
            static_cast<int>(d->GetStatusCellCount()), static_cast<int>(d->GetTotalCellCount()));
        break;
    case Kind::kWait:
        Pump(s.Limit(c.ms), [] { return false; });
        break;
    case Kind::kExpectKey: {
        auto seen = [&] {
            for (const KeySeen& k : g_keys)
                if (k.name == c.text && (c.anyValue || k.value == c.value)) return true;
            return false;
        };
        if (!Pump(s.Limit(c.ms), seen)) {
            Say("FAILED: key %s %s did not arrive\n", c.text.c_str(),
                c.anyValue ? "" : std::to_string(c.value).c_str());
            s.failed = true;
        }
        break;
    }
    case Kind::kExpectTyped: {
        const std::u32string wanted = tools::DecodeUtf8(c.text);
        auto typed = [&] {
            for (wchar_t w : g_typed)
                if (static_cast<char32_t>(w) == wanted[0]) return true;
            return false;
        };
        if (!Pump(s.Limit(c.ms), typed)) {
            Say("FAILED: character '%s' was not typed\n", c.text.c_str());
            s.failed = true;
        }
        break;
    }
    case Kind::kQuit:
        s.quit = true;
        break;
    }
}

// A line from standard input or the script; a bad one from standard input is
// refused and the host goes on (a script was checked before the start).
void Run(Session& s, const std::string& line) {
    if (line == kEndOfInput) {
        s.quit = true;
        return;
    }
    if (BlankCommand(line)) return;
    HostCommand command;
    std::string error;
    if (!ParseHostCommand(line, &command, &error)) {
        Say("refused: %s\n", error.c_str());
        return;
    }
    Run(s, command);
}

// Runs the queued lines in order while handling window messages, until quit
// or the run's time limit.
void RunCommands(Session& session, CLineQueue& queue) {
    while (!session.quit) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
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
    if (IsUsbPort(port)) {
        Say("no USB braille display was found\n");
        return kExitNoDisplay;
    }
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

// {D5D2D9E8-4637-4A07-BF46-42543A3CAACC}: the first three groups are stored
// little-endian in the 16 bytes.
std::string RegistryForm(const unsigned char* b) {
    char text[40];
    std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[3],
                  b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

struct Options {
    std::string port = "COM1";
    std::string script;
    bool haveScript = false;
    DWORD timeout = 0;
    bool noFocusWindow = false;
    bool braille = false;
    std::string check;  // the first-run check's port, or "usb"
    bool haveCheck = false;
    std::string report;
    bool haveReport = false;
};

void DeclareOptions(tools::CArguments& args, Options& o) {
    args.Positional("PORT", "serial port to start the driver on (default COM1; a USB display is used first)", &o.port);
    args.Text("--script", "\"CMD; CMD\"", "run these commands instead of reading standard input", &o.script,
              &o.haveScript);
    args.Number("--timeout", "MS", "fail the run if it lasts longer than MS milliseconds (0: no limit)", 0, 0x7FFFFFFF,
                &o.timeout);
    args.Flag("--no-focus-window", "do not open the window that shows characters typed on the display",
              &o.noFocusWindow);
    args.Flag("--braille", "show each write as braille beside the text, as a braille viewer does", &o.braille);
    args.Text("--check", "PORT|usb",
              "run the first-run check with a real display on PORT (or on USB) and write a report; "
              "answers come from standard input",
              &o.check, &o.haveCheck);
    args.Text("--report", "FILE",
              "where --check writes its report (default: first-run-report.txt beside host.exe, "
              "or in the temporary folder when that cannot be written)",
              &o.report, &o.haveReport);
    args.Notes(kNotes);
}

// Beside host.exe (the folder of the first-run kit), where the tester finds it.
std::string DefaultReportPath() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n < MAX_PATH ? n : 0);
    folder.erase(folder.find_last_of(L"\\/") + 1);
    const int size = WideCharToMultiByte(CP_UTF8, 0, folder.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 1 ? static_cast<size_t>(size - 1) : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, folder.c_str(), -1, &utf8[0], size, nullptr, nullptr);
    return utf8 + "first-run-report.txt";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    tools::CArguments args("host",
                           "[PORT] [--script \"CMD; CMD\"] [--timeout MS] [--no-focus-window] [--braille] "
                           "[--check PORT|usb [--report FILE]]");
    DeclareOptions(args, options);
    if (std::optional<int> code = args.ParseOrExit(tools::Utf8Arguments(argc, argv))) return *code;
    if (options.haveReport && !options.haveCheck) return args.Refuse("host: --report is for --check only");
    std::vector<HostCommand> script;
    std::string error;
    if (options.haveScript && !ParseHostScript(options.script, &script, &error))
        return args.Refuse("host: --script " + error);
    g_showBraille = options.braille;

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
        const int code =
            RunFirstRunCheck(driver, options.check, options.haveReport ? options.report : DefaultReportPath());
        ExitProcess(static_cast<UINT>(code));
    }
    char maker[16] = {};
    unsigned char guid[16] = {};
    driver->Identify(maker, sizeof maker, guid);
    Say("driver: maker \"%s\", code %d, GUID %s\n", maker, static_cast<int>(driver->GetDriverCode()),
        RegistryForm(guid).c_str());

    HWND focus = options.noFocusWindow ? nullptr
                                       : CreateFocusWindow(FocusWindowProc, L"BrailleConsoleHost", L"braille host", 200,
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
        for (const HostCommand& command : script) {
            if (session.quit || session.OutOfTime()) break;
            Run(session, command);
        }
        if (session.OutOfTime()) {
            Say("FAILED: the run took longer than %lu ms\n", session.timeout);
            session.failed = true;
        }
    } else {
        Say("commands: text WORDS | cells HEX.. | all HEX.. | clear | suspend | resume | info | wait MS | quit\n");
        HANDLE reader = CreateThread(nullptr, 0, StdinReader, &queue, 0, nullptr);
        if (reader) CloseHandle(reader);
        RunCommands(session, queue);
    }

    driver->Terminate();
    if (focus) DestroyWindow(focus);
    Say("terminated; %u key events, %u characters typed%s\n", static_cast<unsigned>(g_keys.size()),
        static_cast<unsigned>(g_typed.size()), session.failed ? "; FAILED" : "");
    // The standard-input reader may still be blocked in a read; ending the
    // process ends it.
    ExitProcess(session.failed ? kExitCommandFailed : kExitDone);
}
