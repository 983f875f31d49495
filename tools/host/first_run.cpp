// The first-run check: the steps a person with Windows and a real display goes
// through once, in a few minutes, with what the driver did and what the person
// saw written to a plain-text report that can be sent back.
//
// Questions end in "[y/n] > ", actions the person carries out in
// "[Enter when done] > "; the typing step ends with Escape typed on the
// display. Answers come from standard input, one per line.
#include "first_run.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "braille_table.h"
#include "system_message.h"

namespace {

constexpr int kExitPassed = 0;
constexpr int kExitStepFailed = 3;
constexpr int kExitNoPort = 4;
constexpr int kExitNoDisplay = 5;
constexpr DWORD kAnswerWaitMs = 10 * 60 * 1000;  // a person may take a while

// What is said on the console, also kept for the report. The driver's worker
// thread reports data through it too.
class CReport {
public:
    CReport() { InitializeCriticalSection(&lock); }
    ~CReport() { DeleteCriticalSection(&lock); }
    CReport(const CReport&) = delete;
    CReport& operator=(const CReport&) = delete;

    void Say(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        char line[1024];
        va_list args;
        va_start(args, format);
        std::vsnprintf(line, sizeof line, format, args);
        va_end(args);
        EnterCriticalSection(&lock);
        std::fputs(line, stdout);
        std::fflush(stdout);
        text += line;
        LeaveCriticalSection(&lock);
    }
    bool Save(const std::string& path) {
        FILE* file = std::fopen(path.c_str(), "w");
        if (!file) return false;
        EnterCriticalSection(&lock);
        const bool written = std::fputs(text.c_str(), file) >= 0;
        LeaveCriticalSection(&lock);
        return std::fclose(file) == 0 && written;
    }

private:
    CRITICAL_SECTION lock;
    std::string text;
};

// Standard input, line by line, read on a thread of its own so that this
// thread keeps handling the driver's key events while it waits.
class CInput {
public:
    CInput() {
        InitializeCriticalSection(&lock);
        ready = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
        HANDLE reader = CreateThread(nullptr, 0, Reader, this, 0, nullptr);
        if (reader) CloseHandle(reader);
    }
    // False at the end of the input or when nothing came in time.
    bool Next(std::string* line, DWORD timeoutMs) {
        const DWORD start = GetTickCount();
        for (;;) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            const DWORD used = GetTickCount() - start;
            if (used >= timeoutMs) return false;
            const DWORD woke = MsgWaitForMultipleObjects(1, &ready, FALSE, timeoutMs - used, QS_ALLINPUT);
            if (woke != WAIT_OBJECT_0) continue;
            EnterCriticalSection(&lock);
            const bool ended = lines.empty();
            if (!ended) {
                *line = lines.front();
                lines.pop_front();
            }
            LeaveCriticalSection(&lock);
            if (ended) {
                ReleaseSemaphore(ready, 1, nullptr);  // the end stays signalled
                return false;
            }
            return true;
        }
    }

private:
    static DWORD WINAPI Reader(LPVOID self) {
        CInput* input = static_cast<CInput*>(self);
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, stdin)) {
            std::string line(buffer);
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            EnterCriticalSection(&input->lock);
            input->lines.push_back(line);
            LeaveCriticalSection(&input->lock);
            ReleaseSemaphore(input->ready, 1, nullptr);
        }
        ReleaseSemaphore(input->ready, 1, nullptr);  // the end: no line behind it
        return 0;
    }

    CRITICAL_SECTION lock;
    HANDLE ready;
    std::deque<std::string> lines;
};

// Handles key events for ms milliseconds.
void Pump(DWORD ms) {
    const DWORD start = GetTickCount();
    for (DWORD used = 0; used < ms; used = GetTickCount() - start) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - used < 20 ? ms - used : 20, QS_ALLINPUT);
    }
}

struct KeySeen {
    std::string name;
    int32_t value;
};

class CCheckHost : public IBrailleHost {
public:
    explicit CCheckHost(CReport& report) : report(report) {}
    int32_t BRL_CALL OnKey(IBrailleDriver*, const char* name, int32_t value) override {
        keys.push_back({name, value});
        report.Say("  key %s %d\n", name, static_cast<int>(value));
        return 0;
    }
    int32_t BRL_CALL OnData(IBrailleDriver*, const unsigned char* bytes, int32_t count) override {
        report.Say("  data %d bytes%s\n", static_cast<int>(count), count == 3 && bytes ? " (Ctrl on the display)" : "");
        return 0;
    }
    std::vector<KeySeen> keys;  // on the thread that started the driver

private:
    CReport& report;
};

// The text field of the typing step: a window of its own that takes the focus
// and records every key and character that reaches it.
struct CTextField {
    CReport* report = nullptr;
    HWND window = nullptr;
    std::string typed;
    int held[256] = {};  // presses not yet released, per virtual key
    unsigned presses = 0;
    bool escape = false;

    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<CTextField*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (!self) return DefWindowProcA(window, message, wParam, lParam);
        const unsigned vk = static_cast<unsigned>(wParam & 0xFF);
        const unsigned scan = static_cast<unsigned>((lParam >> 16) & 0xFF);
        const bool extended = ((lParam >> 24) & 1) != 0;
        switch (message) {
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
            ++self->held[vk];
            ++self->presses;
            if (vk == VK_ESCAPE) self->escape = true;
            self->report->Say("  down vk 0x%02X scan 0x%02X%s\n", vk, scan, extended ? " extended" : "");
            return 0;
        case WM_KEYUP:
        case WM_SYSKEYUP:
            if (self->held[vk] > 0) --self->held[vk];
            self->report->Say("  up   vk 0x%02X scan 0x%02X%s\n", vk, scan, extended ? " extended" : "");
            return 0;
        case WM_CHAR:
            if (wParam >= 0x20 && wParam != 0x7F) {
                self->typed.push_back(static_cast<char>(wParam));
                SetWindowTextA(window, ("typed: " + self->typed).c_str());
            }
            self->report->Say("  char 0x%02X\n", static_cast<unsigned>(wParam & 0xFF));
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
        }
    }
    bool Open() {
        window = CreateFocusWindow(Proc, "BrailleFirstRunTextField", "Braille display check: type here", 480, 120,
                                   SW_SHOW, this);
        return window != nullptr;
    }
    unsigned StillHeld() const {
        unsigned n = 0;
        for (int count : held) n += static_cast<unsigned>(count);
        return n;
    }
};

class CCheck {
public:
    CCheck(IBrailleDriver* driver, const std::string& port, CReport& report)
        : driver(driver), port(port), report(report), host(report) {}

    int Run(const std::string& reportPath) {
        Header();
        if (!Identification()) return Finish(reportPath, portOpens ? kExitNoDisplay : kExitNoPort);
        Patterns();
        KeyGroups();
        Typing();
        OffAndOn();
        SuspendAndResume();
        Handover();
        return Finish(reportPath, failed ? kExitStepFailed : kExitPassed);
    }

private:
    // --- the conversation ---

    // Waits for a yes or no; a missing answer counts as no and ends the check's
    // questions, since nobody is there.
    // The next answer line; after one that never came, none is waited for again.
    bool Answer(std::string* line) {
        if (gone || !input.Next(line, kAnswerWaitMs)) {
            gone = true;
            report.Say("(no answer)\n");
            return false;
        }
        return true;
    }
    bool Ask(const char* question) {
        for (;;) {
            report.Say("%s [y/n] > ", question);
            std::string answer;
            if (!Answer(&answer)) return false;
            report.Say("%s\n", answer.c_str());
            if (answer == "y" || answer == "Y" || answer == "yes") return true;
            if (answer == "n" || answer == "N" || answer == "no") return false;
        }
    }
    bool WaitForEnter(const char* instruction) {
        report.Say("%s [Enter when done] > ", instruction);
        std::string line;
        if (!Answer(&line)) return false;
        report.Say("\n");
        return true;
    }
    void Step(const char* title) {
        ++stepNumber;
        stepStart = GetTickCount();
        report.Say("\n== %d. %s\n", stepNumber, title);
    }
    void Verdict(const char* title, bool passed, const std::string& detail = std::string()) {
        if (!passed) failed = true;
        const DWORD ms = GetTickCount() - stepStart;
        char line[256];
        std::snprintf(line, sizeof line, "%-22s %s (%lu ms)%s%s", title, passed ? "PASS" : "FAIL", ms,
                      detail.empty() ? "" : ": ", detail.c_str());
        summary.push_back(line);
        report.Say("-> %s\n", passed ? "PASS" : "FAIL");
    }
    void Skip(const char* title, const char* why) {
        char line[256];
        std::snprintf(line, sizeof line, "%-22s SKIPPED: %s", title, why);
        summary.push_back(line);
    }

    // --- the display ---

    int32_t WriteText(const std::string& text) {
        std::vector<unsigned char> cells = TextToCells(text);
        cells.resize(static_cast<size_t>(textCells > 0 ? textCells : 1), 0);
        return driver->WriteTextCells(cells.data(), static_cast<int32_t>(cells.size()));
    }
    size_t KeyMark() const { return host.keys.size(); }
    std::string KeysSince(size_t mark) const {
        std::string list;
        for (size_t i = mark; i < host.keys.size(); ++i)
            list += (list.empty() ? "" : ", ") + host.keys[i].name + " " + std::to_string(host.keys[i].value);
        return list.empty() ? "none" : list;
    }

    // --- the steps ---

    void Header() {
        char when[64] = {};
        const std::time_t now = std::time(nullptr);
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
        report.Say("Braille display first-run check, %s\n", when);
        // RtlGetVersion tells the real Windows version, whatever the manifest.
        RTL_OSVERSIONINFOW version = {};
        version.dwOSVersionInfoSize = sizeof version;
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        using GetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
        auto getVersion = reinterpret_cast<GetVersionFn>(
            reinterpret_cast<void*>(ntdll ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr));
        if (getVersion && getVersion(&version) == 0)
            report.Say("Windows %lu.%lu build %lu\n", version.dwMajorVersion, version.dwMinorVersion,
                       version.dwBuildNumber);
        using WineVersionFn = const char*(__cdecl*)();
        auto wine = reinterpret_cast<WineVersionFn>(
            reinterpret_cast<void*>(ntdll ? GetProcAddress(ntdll, "wine_get_version") : nullptr));
        if (wine) report.Say("running under Wine %s\n", wine());
        char dll[MAX_PATH] = {};
        HMODULE module = GetModuleHandleA("brailledriver.dll");
        if (module && GetModuleFileNameA(module, dll, sizeof dll)) report.Say("driver: %s\n", dll);
        report.Say("port: %s\n", port.c_str());
    }

    bool Identification() {
        Step("identification and cell counts");
        char maker[16] = {};
        unsigned char id[16] = {};
        driver->Identify(maker, sizeof maker, id);
        report.Say("maker \"%s\", driver code %d\n", maker, static_cast<int>(driver->GetDriverCode()));
        const DWORD start = GetTickCount();
        if (!driver->Initialize(port.c_str(), &host, "first-run check", "")) {
            const DWORD took = GetTickCount() - start;
            // Opened as the driver opens it, to tell a missing or busy port
            // from a display that does not answer.
            HANDLE h = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   0, nullptr);
            portOpens = h != INVALID_HANDLE_VALUE;
            if (portOpens) {
                CloseHandle(h);
                report.Say("%s opens, but no display answered on it (nor on USB) after %lu ms\n", port.c_str(), took);
            } else {
                report.Say("cannot open %s: %s; and no display on USB\n", port.c_str(),
                           tools::SystemMessage(GetLastError()).c_str());
            }
            Verdict("identification", false, portOpens ? "no display" : "port cannot be opened");
            return false;
        }
        started = true;
        textCells = driver->GetTextCellCount();
        statusCells = driver->GetStatusCellCount();
        report.Say("display ready after %lu ms: %d text cells, %d status cells, %d in all\n", GetTickCount() - start,
                   static_cast<int>(textCells), static_cast<int>(statusCells),
                   static_cast<int>(driver->GetTotalCellCount()));
        Verdict("identification", textCells > 0,
                std::to_string(textCells) + " text, " + std::to_string(statusCells) + " status cells");
        return true;
    }

    void Patterns() {
        const size_t total = static_cast<size_t>(textCells) + static_cast<size_t>(statusCells);
        Step("every dot of every cell");
        std::vector<unsigned char> cells(total, 0xFF);
        report.Say("write all cells full: %d\n", static_cast<int>(driver->WriteAllCells(cells.data(), int32_t(total))));
        Verdict("every dot", Ask("Are all eight dots raised in every cell, status cells included?"));

        if (statusCells > 0) {
            Step("status cells");
            for (size_t i = 0; i < total; ++i) cells[i] = i < size_t(statusCells) ? 0xFF : 0x00;
            report.Say("write status cells full, text cells blank: %d\n",
                       static_cast<int>(driver->WriteAllCells(cells.data(), int32_t(total))));
            Verdict("status cells", Ask("Are the status cells full and every text cell blank?"));
        } else {
            Skip("status cells", "the display reports none");
        }

        Step("dot order");
        std::vector<unsigned char> text(static_cast<size_t>(textCells));
        for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<unsigned char>(1u << (i % 8));
        report.Say("write one dot per cell, dots 1 to 8 in turn: %d\n",
                   static_cast<int>(driver->WriteTextCells(text.data(), textCells)));
        Verdict("dot order", Ask("From the left, does each text cell show one dot: 1, 2, 3, 4, 5, 6, 7, 8, "
                                 "then 1 again (dots 7 and 8 at the bottom)?"));

        Step("moving marker");
        for (int32_t i = 0; i < textCells; ++i) {
            std::vector<unsigned char> line(static_cast<size_t>(textCells), 0);
            line[static_cast<size_t>(i)] = 0xFF;
            driver->WriteTextCells(line.data(), textCells);
            Pump(80);
        }
        Verdict("moving marker", Ask("Did a full cell move from the first to the last text cell?"));
    }

    void KeyGroups() {
        Step("function keys");
        size_t mark = KeyMark();
        WaitForEnter("Press each of the display's function keys once, one after the other.");
        report.Say("arrived: %s\n", KeysSince(mark).c_str());
        Verdict("function keys",
                KeyMark() > mark && Ask("Did every key you pressed appear above, with a name that fits it?"));

        Step("routing keys");
        mark = KeyMark();
        WaitForEnter("Press the routing key above the first text cell, then the one above the last.");
        report.Say("arrived: %s\n", KeysSince(mark).c_str());
        bool first = false;
        bool last = false;
        for (size_t i = mark; i < host.keys.size(); ++i) {
            if (host.keys[i].name.compare(0, 7, "Routing") != 0) continue;
            first = first || host.keys[i].value == 1;
            last = last || host.keys[i].value == textCells;
        }
        // Routing frames start with 0x11: a port left with XON/XOFF loses them.
        Verdict("routing keys", first && last,
                std::string(first ? "" : "first missing ") + (last ? "" : "last missing"));

        if (statusCells > 0) {
            Step("status keys");
            mark = KeyMark();
            WaitForEnter("Press each status key once.");
            report.Say("arrived: %s\n", KeysSince(mark).c_str());
            Verdict("status keys",
                    KeyMark() > mark && Ask("Did every status key appear above, as STATUS1, STATUS2 and so on?"));
        } else {
            Skip("status keys", "the display reports no status cells");
        }
    }

    void Typing() {
        Step("typing keyboard");
        CTextField field;
        field.report = &report;
        if (!field.Open()) {
            report.Say("cannot open the text field\n");
            Verdict("typing keyboard", false, "no text field");
            return;
        }
        report.Say(
            "A window \"Braille display check: type here\" has the focus now (if it is not in front, click "
            "it). On the display's keyboard type a word with a capital letter, an arrow key, then Escape. "
            "[Escape on the display] > \n");
        const DWORD start = GetTickCount();
        while (!field.escape && IsWindow(field.window) && GetTickCount() - start < kAnswerWaitMs) Pump(50);
        Pump(300);  // the release of Escape
        // A key whose release did not take leaves Ctrl or Shift held for every program.
        const bool modifierHeld =
            (GetAsyncKeyState(VK_SHIFT) | GetAsyncKeyState(VK_CONTROL) | GetAsyncKeyState(VK_MENU)) < 0;
        const unsigned held = field.StillHeld();
        report.Say("typed \"%s\"; %u key presses, %u without release%s\n", field.typed.c_str(), field.presses, held,
                   modifierHeld ? "; Shift, Ctrl or Alt still held down" : "");
        const bool ended = field.escape;
        if (IsWindow(field.window)) DestroyWindow(field.window);
        HWND console = GetConsoleWindow();
        if (console) SetForegroundWindow(console);
        Verdict("typing keyboard",
                ended && held == 0 && !modifierHeld && Ask("Is what you typed shown above, letter for letter?"),
                ended ? "typed \"" + field.typed + "\"" : "Escape never arrived");
    }

    // Writes the text until the driver refuses it (or accepts it), for at most ms.
    bool WriteUntil(const std::string& text, bool accepted, DWORD ms, DWORD* took) {
        const DWORD start = GetTickCount();
        do {
            if ((WriteText(text) != 0) == accepted) {
                *took = GetTickCount() - start;
                return true;
            }
            Pump(250);
        } while (GetTickCount() - start < ms);
        *took = ms;
        return false;
    }

    void OffAndOn() {
        Step("display off and on");
        const bool usb = statusCells == 0;
        WaitForEnter(usb ? "Unplug the display's USB cable." : "Switch the display off.");
        // The driver gives an unplugged display up at once and a silent one
        // after about 2 s, and looks for it once a second. Writes are taken
        // all along, and the display shows the newest one when it is back.
        DWORD took = 0;
        const bool refused = WriteUntil("while off", false, 3000, &took);
        if (refused)
            report.Say("a write was refused after %lu ms\n", took);
        else
            report.Say("writes accepted while the display was away (%lu ms)\n", took);
        WaitForEnter(usb ? "Plug the display in again." : "Switch the display on again.");
        Pump(3000);
        Verdict("off and on", !refused && Ask("Does the display show \"while off\"?"),
                refused ? "a write was refused while the display was away" : "");
    }

    void SuspendAndResume() {
        Step("suspend and resume");
        DWORD start = GetTickCount();
        const int32_t suspended = driver->Suspend(1);
        report.Say("Suspend(1): %d after %lu ms; a write now: %d\n", static_cast<int>(suspended),
                   GetTickCount() - start, static_cast<int>(WriteText("suspended")));
        const size_t mark = KeyMark();
        WaitForEnter("The driver has let go of the display. Press any key on it: nothing should arrive.");
        const size_t whileSuspended = KeyMark() - mark;
        report.Say("keys while suspended: %s\n", KeysSince(mark).c_str());
        start = GetTickCount();
        const int32_t resumed = driver->Suspend(0);
        report.Say("Suspend(0): %d after %lu ms\n", static_cast<int>(resumed), GetTickCount() - start);
        report.Say("write \"resumed\": %d\n", static_cast<int>(WriteText("resumed")));
        Verdict("suspend and resume",
                suspended == 1 && resumed == 1 && whileSuspended == 0 && Ask("Does the display show \"resumed\"?"));
    }

    void Handover() {
        Step("port handover");
        char path[MAX_PATH] = {};
        const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
        std::string tool(path, n);
        tool.erase(tool.find_last_of("\\/") + 1);
        tool += "handover.exe";
        if (GetFileAttributesA(tool.c_str()) == INVALID_FILE_ATTRIBUTES) {
            report.Say("%s is missing\n", tool.c_str());
            Verdict("port handover", false, "handover.exe missing");
            return;
        }
        // The tool borrows the port for 2 s and gives it back; its output goes
        // into the report.
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE readEnd = nullptr;
        HANDLE writeEnd = nullptr;
        CreatePipe(&readEnd, &writeEnd, &inherit, 0);
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = writeEnd;
        std::string line = "\"" + tool + "\" --hold 2000 --timeout 5000";
        PROCESS_INFORMATION process = {};
        const DWORD start = GetTickCount();
        const BOOL ran = readEnd && CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                                   nullptr, &startup, &process);
        if (writeEnd) CloseHandle(writeEnd);
        DWORD code = 0xFFFFFFFF;
        if (ran) {
            while (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT && GetTickCount() - start < 30000) Pump(50);
            if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, 5000);
            GetExitCodeProcess(process.hProcess, &code);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            char buffer[512];
            DWORD got = 0;
            while (ReadFile(readEnd, buffer, sizeof buffer - 1, &got, nullptr) && got) {
                buffer[got] = 0;
                report.Say("%s", buffer);
            }
        }
        if (readEnd) CloseHandle(readEnd);
        report.Say("handover.exe ended with %lu after %lu ms\n", code, GetTickCount() - start);
        Pump(500);
        report.Say("write \"handover done\": %d\n", static_cast<int>(WriteText("handover done")));
        Verdict("port handover", code == 0 && Ask("Does the display show \"handover done\"?"));
    }

    int Finish(const std::string& reportPath, int code) {
        if (started) {
            WriteText("check finished");
            driver->Terminate();
        }
        report.Say("\n== summary\n");
        for (const std::string& line : summary) report.Say("%s\n", line.c_str());
        report.Say("%s\n", code == kExitPassed ? "every step passed" : "NOT every step passed");
        if (report.Save(reportPath)) {
            std::printf("report written to %s\n", reportPath.c_str());
        } else {
            std::printf("cannot write the report to %s\n", reportPath.c_str());
        }
        std::fflush(stdout);
        return code;
    }

    IBrailleDriver* driver;
    const std::string port;
    CReport& report;
    CCheckHost host;
    CInput input;
    int32_t textCells = 0;
    int32_t statusCells = 0;
    bool started = false;
    bool portOpens = true;
    bool failed = false;
    bool gone = false;  // the input has ended: nobody answers any more
    int stepNumber = 0;
    DWORD stepStart = 0;
    std::vector<std::string> summary;
};

}  // namespace

int RunFirstRunCheck(IBrailleDriver* driver, const std::string& port, const std::string& reportPath) {
    CReport report;
    CCheck check(driver, port, report);
    return check.Run(reportPath);
}
