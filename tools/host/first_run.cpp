// The first-run check: the steps a person with Windows and a real display goes
// through once, in a few minutes, with what the driver did and what the person
// saw written to a plain-text report that can be sent back.
//
// Questions end in "[y/n] > ", actions the person carries out in
// "[Enter when done] > "; the typing steps end with Escape typed on the
// display, or with Enter here to skip them. Answers come from standard input,
// one per line. Once the input has ended nobody is there: the steps that need
// a person are reported as not checked, and the others still run.
#include "first_run.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "braille_table.h"
#include "console_text.h"
#include "port_facts.h"
#include "system_message.h"

namespace {

std::wstring Wide(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 1 ? static_cast<size_t>(n - 1) : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], n);
    return wide;
}

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
        va_list args;
        va_start(args, format);
        const std::string line = tools::FormatList(format, args);
        va_end(args);
        EnterCriticalSection(&lock);
        tools::Write(tools::Stream::kOut, line);
        text += line;
        LeaveCriticalSection(&lock);
    }
    void Write(const std::string& text) {
        EnterCriticalSection(&lock);
        tools::Write(tools::Stream::kOut, text);
        this->text += text;
        LeaveCriticalSection(&lock);
    }
    // Kept for the report only: what the console already shows (a typed answer).
    void Note(const std::string& line) {
        EnterCriticalSection(&lock);
        text += line;
        LeaveCriticalSection(&lock);
    }
    bool Save(const std::string& path) {
        FILE* file = _wfopen(Wide(path).c_str(), L"w");
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
    enum class Got { kLine, kNothingYet, kEnd };
    CInput() {
        InitializeCriticalSection(&lock);
        ready = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
        HANDLE reader = CreateThread(nullptr, 0, Reader, this, 0, nullptr);
        if (reader) CloseHandle(reader);
    }
    // A line, nothing within timeoutMs, or the end of the input.
    Got Next(std::string* line, DWORD timeoutMs) {
        const DWORD start = GetTickCount();
        for (;;) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            const DWORD used = GetTickCount() - start;
            if (used >= timeoutMs) return Got::kNothingYet;
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
                return Got::kEnd;
            }
            return Got::kLine;
        }
    }

private:
    static DWORD WINAPI Reader(LPVOID self) {
        CInput* input = static_cast<CInput*>(self);
        std::string line;
        while (tools::ReadLine(&line)) {
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
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
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
    int32_t BRL_CALL OnKey(IBrailleDriver* driver, const char* name, int32_t value) override {
        keys.push_back({name, value});
        const std::string text = std::string(name) + " " + std::to_string(value);
        report.Say("  key %s\n", text.c_str());
        // The key's name on the display too, so the person sees it where they pressed it.
        if (showKeys && driver && textCells > 0) {
            std::vector<unsigned char> cells = TextToCells(text);
            cells.resize(static_cast<size_t>(textCells), 0);
            driver->WriteTextCells(cells.data(), textCells);
        }
        return 0;
    }
    int32_t BRL_CALL OnData(IBrailleDriver*, const unsigned char* bytes, int32_t count) override {
        report.Say("  data %d bytes%s\n", static_cast<int>(count), count == 3 && bytes ? " (Ctrl on the display)" : "");
        return 0;
    }
    std::vector<KeySeen> keys;  // on the thread that started the driver
    bool showKeys = false;
    int32_t textCells = 0;

private:
    CReport& report;
};

// The text field of the typing steps: a window of its own that takes the focus
// and records every key and character that reaches it.
struct CTextField {
    CReport* report = nullptr;
    HWND window = nullptr;
    std::wstring typed;
    int held[256] = {};  // presses not yet released, per virtual key
    unsigned presses = 0;
    bool escape = false;
    int arrows = 0;          // arrow key presses
    int arrowsExtended = 0;  // of them, with the extended flag (as the real arrow keys have)

    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<CTextField*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (!self) return DefWindowProcW(window, message, wParam, lParam);
        const unsigned vk = static_cast<unsigned>(wParam & 0xFF);
        const unsigned scan = static_cast<unsigned>((lParam >> 16) & 0xFF);
        const bool extended = ((lParam >> 24) & 1) != 0;
        switch (message) {
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
            ++self->held[vk];
            ++self->presses;
            if (vk == VK_ESCAPE) self->escape = true;
            if (vk >= VK_LEFT && vk <= VK_DOWN) {
                ++self->arrows;
                if (extended) ++self->arrowsExtended;
            }
            self->report->Say("  down vk 0x%02X scan 0x%02X%s\n", vk, scan, extended ? " extended" : "");
            return 0;
        case WM_KEYUP:
        case WM_SYSKEYUP:
            if (self->held[vk] > 0) --self->held[vk];
            self->report->Say("  up   vk 0x%02X scan 0x%02X%s\n", vk, scan, extended ? " extended" : "");
            return 0;
        case WM_CHAR:
            if (wParam >= 0x20 && wParam != 0x7F) {
                self->typed.push_back(static_cast<wchar_t>(wParam));
                SetWindowTextW(window, (L"typed: " + self->typed).c_str());
            }
            self->report->Say("  char U+%04X\n", static_cast<unsigned>(wParam & 0xFFFF));
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
        }
    }
    bool Open() {
        window = CreateFocusWindow(Proc, L"BrailleFirstRunTextField", L"Braille display check: type here", 480, 120,
                                   SW_SHOW, this);
        return window != nullptr;
    }
    // In front, or brought there: SetForegroundWindow is refused to a program
    // the user did not last use, and a key press of its own lifts that lock.
    bool BringToFront() {
        if (GetForegroundWindow() == window) return true;
        SetForegroundWindow(window);
        Pump(100);
        if (GetForegroundWindow() == window) return true;
        INPUT alt[2] = {};
        alt[0].type = alt[1].type = INPUT_KEYBOARD;
        alt[0].ki.wVk = alt[1].ki.wVk = VK_MENU;
        alt[1].ki.dwFlags = KEYEVENTF_KEYUP;
        SendInput(2, alt, sizeof(INPUT));
        SetForegroundWindow(window);
        SetFocus(window);
        Pump(100);
        return GetForegroundWindow() == window;
    }
    unsigned StillHeld() const {
        unsigned n = 0;
        for (int count : held) n += static_cast<unsigned>(count);
        return n;
    }
    std::string TypedUtf8() const {
        const int n =
            WideCharToMultiByte(CP_UTF8, 0, typed.data(), static_cast<int>(typed.size()), nullptr, 0, nullptr, nullptr);
        std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
        if (n > 0)
            WideCharToMultiByte(CP_UTF8, 0, typed.data(), static_cast<int>(typed.size()), &text[0], n, nullptr,
                                nullptr);
        return text;
    }
    bool HasCharacterAbove7F() const {
        for (wchar_t c : typed)
            if (c > 0x7F) return true;
        return false;
    }
};

// Caps Lock switched as a key press of the computer's own keyboard would.
void PressCapsLock() {
    INPUT caps[2] = {};
    caps[0].type = caps[1].type = INPUT_KEYBOARD;
    caps[0].ki.wVk = caps[1].ki.wVk = VK_CAPITAL;
    caps[0].ki.wScan = caps[1].ki.wScan = 0x3A;
    caps[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, caps, sizeof(INPUT));
}
bool CapsLockOn() { return (GetKeyState(VK_CAPITAL) & 1) != 0; }

class CCheck {
public:
    CCheck(IBrailleDriver* driver, const std::string& port, CReport& report)
        : driver(driver), port(port), report(report), host(report) {
        DWORD mode = 0;
        answersEchoed = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
        serial = _stricmp(port.c_str(), "usb") != 0;
    }

    int Run(const std::string& reportPath) {
        Header();
        if (!Identification()) return Finish(reportPath, portOpens ? kExitNoDisplay : kExitNoPort);
        Patterns();
        KeyGroups();
        std::string firstRun;
        Typing(&firstRun);
        TypingWithCapsLock(firstRun);
        OffAndOn();
        UnplugAndReplug();
        SuspendAndResume();
        Handover();
        return Finish(reportPath, failed || notChecked ? kExitStepFailed : kExitPassed);
    }

private:
    enum class Reply { kYes, kNo, kNobody };

    // --- the conversation ---

    // The next answer line; once the input has ended none is waited for again.
    bool Answer(std::string* line) {
        if (gone || input.Next(line, kAnswerWaitMs) != CInput::Got::kLine) {
            gone = true;
            report.Say("(no answer: the input has ended)\n");
            return false;
        }
        // A console shows what was typed already; a pipe does not.
        if (answersEchoed)
            report.Note(*line + "\n");
        else
            report.Say("%s\n", line->c_str());
        return true;
    }
    Reply Ask(const char* question) {
        for (;;) {
            report.Say("%s [y/n] > ", question);
            std::string answer;
            if (!Answer(&answer)) return Reply::kNobody;
            if (answer == "y" || answer == "Y" || answer == "yes") return Reply::kYes;
            if (answer == "n" || answer == "N" || answer == "no") return Reply::kNo;
        }
    }
    bool WaitForEnter(const char* instruction) {
        report.Say("%s [Enter when done] > ", instruction);
        std::string line;
        return Answer(&line);
    }
    void Step(const char* title) {
        ++stepNumber;
        stepStart = GetTickCount();
        report.Say("\n== %d. %s\n", stepNumber, title);
    }
    void Summary(const char* title, const char* outcome, const std::string& detail) {
        const DWORD ms = GetTickCount() - stepStart;
        char line[512];
        std::snprintf(line, sizeof line, "%2d. %-22s %s%s%s (%lu ms)", stepNumber, title, outcome,
                      detail.empty() ? "" : ": ", detail.c_str(), ms);
        summary.push_back(line);
        report.Say("-> %s%s%s\n", outcome, detail.empty() ? "" : ": ", detail.c_str());
    }
    void Verdict(const char* title, bool passed, const std::string& detail = std::string()) {
        if (!passed) failed = true;
        Summary(title, passed ? "PASS" : "FAIL", detail);
    }
    // A step that needs a person when nobody is there, or that was skipped.
    void NotChecked(const char* title, const std::string& why) {
        notChecked = true;
        Summary(title, "NOT CHECKED", why);
    }
    // The checks the program can make passed (or failed, detail says which);
    // the person's answer to the question decides the rest.
    void Judge(const char* title, bool checksPassed, const char* question, const std::string& detail = std::string()) {
        if (!checksPassed) return Verdict(title, false, detail);
        switch (Ask(question)) {
        case Reply::kYes:
            return Verdict(title, true, detail);
        case Reply::kNo:
            return Verdict(title, false, detail);
        case Reply::kNobody:
            return NotChecked(title, "nobody answered");
        }
    }
    void Skip(const char* title, const char* why) {
        char line[256];
        std::snprintf(line, sizeof line, "%2d. %-22s SKIPPED: %s", stepNumber, title, why);
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

    // --- the port ---

    // Whether the port is free now (our own open succeeds) or held (refused
    // with access denied), as the step expects; "" when as expected.
    std::string PortState(bool expectFree, const char* when) {
        if (!serial) return std::string();
        const DWORD error = TryOpenPort(port);
        if (error == 0) {
            report.Say("own open of %s %s: succeeded (the port is free)\n", port.c_str(), when);
            if (expectFree) return std::string();
            if (underWine) {
                report.Say("  not shown under Wine: it lets a port be opened twice\n");
                return std::string();
            }
            return std::string("the port opened ") + when + ": the driver does not hold it";
        }
        report.Say("own open of %s %s: %s\n", port.c_str(), when, tools::SystemMessage(error).c_str());
        if (!expectFree && error == ERROR_ACCESS_DENIED) return std::string();
        return std::string("the port was not free ") + when + " (" + tools::SystemMessage(error) + ")";
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
        underWine = wine != nullptr;
        if (wine) report.Say("running under Wine %s\n", wine());
        char dll[MAX_PATH] = {};
        HMODULE module = GetModuleHandleA("brailledriver.dll");
        if (module && GetModuleFileNameA(module, dll, sizeof dll)) report.Say("driver: %s\n", dll);
        report.Say("port: %s\n", port.c_str());
        report.Say("keyboard layout %08llX, ANSI code page %u, OEM code page %u\n",
                   static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(GetKeyboardLayout(0))), GetACP(),
                   GetOEMCP());
        if (!serial) return;
        // What the port is and how it was left, before the driver sets it.
        report.Write(DescribePortDevice(port));
        DWORD error = 0;
        HANDLE h = OpenPort(port, &error);
        if (h == INVALID_HANDLE_VALUE) {
            report.Say("the port's settings cannot be read: %s\n", tools::SystemMessage(error).c_str());
            return;
        }
        report.Say("the port's settings as found:\n");
        report.Write(DescribeCommSettings(h));
        CloseHandle(h);
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
            if (!serial) {
                report.Say("no USB braille display was found after %lu ms\n", took);
                Verdict("identification", false, "no USB display");
                return false;
            }
            // Opened as the driver opens it, with the driver's settings, to
            // tell a missing or busy port, or one that refuses the settings,
            // from a display that does not answer.
            DWORD error = 0;
            HANDLE h = OpenPort(port, &error);
            portOpens = h != INVALID_HANDLE_VALUE;
            if (!portOpens) {
                report.Say("cannot open %s: %s; and no display on USB\n", port.c_str(),
                           tools::SystemMessage(error).c_str());
                Verdict("identification", false, "port cannot be opened");
                return false;
            }
            bool accepted = false;
            report.Write(ApplyDriverSettings(h, &accepted));
            report.Write(DescribeCommSettings(h));
            CloseHandle(h);
            report.Say("%s opens%s, but no display answered on it (nor on USB) after %lu ms\n", port.c_str(),
                       accepted ? " and takes the driver's settings" : " but refuses the driver's settings", took);
            Verdict("identification", false, accepted ? "no display answered" : "the port refuses the settings");
            return false;
        }
        started = true;
        textCells = driver->GetTextCellCount();
        statusCells = driver->GetStatusCellCount();
        host.textCells = textCells;
        report.Say("display ready after %lu ms: %d text cells, %d status cells, %d in all\n", GetTickCount() - start,
                   static_cast<int>(textCells), static_cast<int>(statusCells),
                   static_cast<int>(driver->GetTotalCellCount()));
        const std::string held = PortState(false, "while the driver runs");
        Verdict("identification", textCells > 0 && held.empty(),
                std::to_string(textCells) + " text, " + std::to_string(statusCells) + " status cells" +
                    (held.empty() ? "" : "; " + held));
        return true;
    }

    void Patterns() {
        const size_t total = static_cast<size_t>(textCells) + static_cast<size_t>(statusCells);
        Step("every dot of every cell");
        std::vector<unsigned char> cells(total, 0xFF);
        report.Say("write all cells full: %d\n", static_cast<int>(driver->WriteAllCells(cells.data(), int32_t(total))));
        Judge("every dot", true, "Are all eight dots raised in every cell, status cells included?");

        Step("status cells");
        if (statusCells > 0) {
            for (size_t i = 0; i < total; ++i) cells[i] = i < size_t(statusCells) ? 0xFF : 0x00;
            report.Say("write status cells full, text cells blank: %d\n",
                       static_cast<int>(driver->WriteAllCells(cells.data(), int32_t(total))));
            Judge("status cells", true, "Are the status cells full and every text cell blank?");
        } else {
            Skip("status cells", "the display reports none");
        }

        Step("dot order");
        std::vector<unsigned char> text(static_cast<size_t>(textCells));
        for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<unsigned char>(1u << (i % 8));
        report.Say("write one dot per cell, dots 1 to 8 in turn: %d\n",
                   static_cast<int>(driver->WriteTextCells(text.data(), textCells)));
        Judge("dot order", true,
              "From the left, does each text cell show one dot: 1, 2, 3, 4, 5, 6, 7, 8, "
              "then 1 again (dots 7 and 8 at the bottom)?");

        Step("moving marker");
        for (int32_t i = 0; i < textCells; ++i) {
            std::vector<unsigned char> line(static_cast<size_t>(textCells), 0);
            line[static_cast<size_t>(i)] = 0xFF;
            driver->WriteTextCells(line.data(), textCells);
            Pump(80);
        }
        Judge("moving marker", true, "Did a full cell move from the first to the last text cell?");
    }

    void KeyGroups() {
        host.showKeys = true;
        WriteText("press the keys");
        Step("function keys");
        size_t mark = KeyMark();
        if (!WaitForEnter("Press each of the display's function keys once, one after the other. Each key's "
                          "name shows here and on the display.")) {
            NotChecked("function keys", "nobody answered");
        } else {
            report.Say("arrived: %s\n", KeysSince(mark).c_str());
            Judge("function keys", KeyMark() > mark, "Did every key you pressed appear, with a name that fits it?",
                  KeyMark() > mark ? "" : "no key arrived");
        }

        Step("routing keys");
        mark = KeyMark();
        if (!WaitForEnter("Press the routing key above the first text cell, then the one above the last.")) {
            NotChecked("routing keys", "nobody answered");
        } else {
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
        }

        Step("status keys");
        if (statusCells > 0) {
            mark = KeyMark();
            if (!WaitForEnter("Press each status key once.")) {
                NotChecked("status keys", "nobody answered");
            } else {
                report.Say("arrived: %s\n", KeysSince(mark).c_str());
                Judge("status keys", KeyMark() > mark, "Did every status key appear, as STATUS1, STATUS2 and so on?",
                      KeyMark() > mark ? "" : "no key arrived");
            }
        } else {
            Skip("status keys", "the display reports no status cells");
        }
        host.showKeys = false;
    }

    // Caps Lock switched while the field has the focus, so the field's thread
    // (the one typed into) sees the new state. True when it is as wanted.
    bool SetCapsLock(bool on) {
        if (CapsLockOn() != on) {
            PressCapsLock();
            Pump(200);
        }
        return CapsLockOn() == on;
    }

    // One run of typing into the text field with Caps Lock as asked, until
    // Escape on the display, or Enter here (skipped), or the end of the input.
    // Caps Lock goes back to how the person had it before the first run.
    // False when not typed.
    bool TypeIntoField(CTextField& field, const char* instruction, bool capsLock, std::string* why) {
        if (gone) {
            *why = "nobody answered";
            return false;
        }
        if (!field.Open()) {
            *why = "the text field cannot be opened";
            return false;
        }
        const bool inFront = field.BringToFront();
        report.Say("the window \"Braille display check: type here\" %s\n",
                   inFront ? "is in front and has the focus"
                           : "could NOT be brought in front: click it before typing, or the keys go elsewhere");
        if (!capsKnown) {
            capsAtStart = CapsLockOn();
            capsKnown = true;
        }
        const bool capsRight = SetCapsLock(capsLock);
        report.Say("Caps Lock is %s%s\n", CapsLockOn() ? "on" : "off",
                   capsRight ? "" : " (the check cannot switch it)");
        if (!capsRight) {
            DestroyWindow(field.window);
            *why = "Caps Lock cannot be switched";
            return false;
        }
        report.Say("%s Then Escape on the display (Enter here skips this step). [Escape on the display] > \n",
                   instruction);
        const DWORD start = GetTickCount();
        bool skipped = false;
        while (!field.escape && IsWindow(field.window) && GetTickCount() - start < kAnswerWaitMs) {
            std::string line;
            const CInput::Got got = input.Next(&line, 50);
            if (got == CInput::Got::kLine) {
                skipped = true;
                break;
            }
            if (got == CInput::Got::kEnd) {
                gone = true;
                break;
            }
        }
        Pump(300);  // the release of Escape
        if (IsWindow(field.window)) {
            if (capsLock != capsAtStart) SetCapsLock(capsAtStart);
            DestroyWindow(field.window);
        }
        HWND console = GetConsoleWindow();
        if (console) SetForegroundWindow(console);
        if (field.escape) return true;
        *why = skipped ? "skipped with Enter" : gone ? "nobody answered" : "Escape never arrived";
        report.Say("%s\n", why->c_str());
        return false;
    }

    // What a typing run shows about held keys and the arrow's extended flag;
    // "" when right.
    std::string KeyFaults(const CTextField& field) {
        // A key whose release did not take leaves Ctrl or Shift held for every program.
        const bool modifierHeld =
            (GetAsyncKeyState(VK_SHIFT) | GetAsyncKeyState(VK_CONTROL) | GetAsyncKeyState(VK_MENU)) < 0;
        const unsigned held = field.StillHeld();
        report.Say("typed \"%s\"; %u key presses, %u without release%s; arrow keys %d, %d with the extended flag\n",
                   field.TypedUtf8().c_str(), field.presses, held,
                   modifierHeld ? "; Shift, Ctrl or Alt still held down" : "", field.arrows, field.arrowsExtended);
        std::string faults;
        if (held || modifierHeld) faults += "a key was left held down; ";
        if (field.arrows == 0) faults += "no arrow key arrived; ";
        if (field.arrowsExtended < field.arrows) faults += "an arrow key came without the extended flag; ";
        if (!faults.empty()) faults.resize(faults.size() - 2);
        return faults;
    }

    void Typing(std::string* typed) {
        Step("typing keyboard");
        CTextField field;
        field.report = &report;
        std::string why;
        if (!TypeIntoField(field,
                           "On the display's keyboard type a word with a capital letter and a letter with an "
                           "accent that your keyboard layout has (such as é), then an arrow key.",
                           false, &why))
            return why == "the text field cannot be opened" ? Verdict("typing keyboard", false, why)
                                                            : NotChecked("typing keyboard", why);
        *typed = field.TypedUtf8();
        std::string faults = KeyFaults(field);
        std::string detail = "typed \"" + *typed + "\"";
        if (!field.HasCharacterAbove7F()) {
            if (underWine) {
                report.Say(
                    "no character above 0x7F arrived; not shown under Wine, whose US layout has no key "
                    "for an accented letter\n");
            } else {
                faults += std::string(faults.empty() ? "" : "; ") + "no character above 0x7F arrived";
            }
        }
        if (!faults.empty()) detail += "; " + faults;
        Judge("typing keyboard", faults.empty(), "Is what you typed shown above, letter for letter?", detail);
    }

    void TypingWithCapsLock(const std::string& firstRun) {
        Step("typing with Caps Lock on");
        if (gone) return NotChecked("Caps Lock typing", "nobody answered");
        if (firstRun.empty()) return NotChecked("Caps Lock typing", "the typing step was not carried out");
        CTextField field;
        field.report = &report;
        std::string why;
        const std::string instruction =
            "Caps Lock is switched on now. Type the same again on the display's keyboard (\"" + firstRun +
            "\"), then an arrow key.";
        const bool typed = TypeIntoField(field, instruction.c_str(), true, &why);
        if (!typed) return NotChecked("Caps Lock typing", why);
        std::string faults = KeyFaults(field);
        const std::string again = field.TypedUtf8();
        std::string detail = "typed \"" + again + "\"";
        if (again != firstRun) {
            // Letters must come out as the display sent them, whatever Caps Lock says.
            if (underWine) {
                report.Say(
                    "the letters differ from the first run; not shown under Wine, which gives the capital "
                    "for Shift and a letter with Caps Lock on (Windows gives the small letter)\n");
            } else {
                faults += std::string(faults.empty() ? "" : "; ") + "not the same as without Caps Lock (\"" + firstRun +
                          "\")";
            }
        }
        if (!faults.empty()) detail += "; " + faults;
        Verdict("Caps Lock typing", faults.empty(), detail);
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
        const bool usb = !serial;
        if (!WaitForEnter(usb ? "Unplug the display's USB cable." : "Switch the display off."))
            return NotChecked("off and on", "nobody answered");
        // The driver gives an unplugged display up at once and a silent one
        // after about 2 s, and looks for it once a second. Writes are taken
        // all along, and the display shows the newest one when it is back.
        DWORD took = 0;
        const bool refused = WriteUntil("while off", false, 3000, &took);
        if (refused)
            report.Say("a write was refused after %lu ms\n", took);
        else
            report.Say("writes accepted while the display was away (%lu ms)\n", took);
        if (!WaitForEnter(usb ? "Plug the display in again." : "Switch the display on again."))
            return NotChecked("off and on", "nobody answered");
        Pump(3000);
        Judge("off and on", !refused, "Does the display show \"while off\"?",
              refused ? "a write was refused while the display was away" : "");
    }

    // A pulled cable or USB-serial adapter leaves a dead handle on Windows;
    // the driver must notice, let go and find the display again: judged by
    // keys pressed after the return.
    void UnplugAndReplug() {
        Step("unplug and plug back");
        if (!WaitForEnter(serial ? "Unplug the display's cable, or its USB-serial adapter, from the computer now."
                                 : "Unplug the display's USB cable from the computer now."))
            return NotChecked("unplug and replug", "nobody answered");
        // Writes go on meanwhile, as a screen reader's do, so a link that
        // reports no error (Wine's) still ends by its missing acknowledgements.
        DWORD took = 0;
        const bool refused = WriteUntil("unplugged", false, 3000, &took);
        report.Say("%s\n", refused ? "a write was refused while unplugged" : "writes accepted while unplugged");
        const size_t mark = KeyMark();
        if (!WaitForEnter("Plug it back in (into the same socket), then press a function key on the display."))
            return NotChecked("unplug and replug", "nobody answered");
        const DWORD start = GetTickCount();
        while (KeyMark() == mark && GetTickCount() - start < 15000) Pump(50);
        report.Say("keys after the return: %s\n", KeysSince(mark).c_str());
        if (KeyMark() == mark) {
            if (!WaitForEnter("Nothing arrived yet. Press a function key on the display again."))
                return NotChecked("unplug and replug", "nobody answered");
            const DWORD again = GetTickCount();
            while (KeyMark() == mark && GetTickCount() - again < 15000) Pump(50);
            report.Say("keys after the return: %s\n", KeysSince(mark).c_str());
        }
        Verdict("unplug and replug", KeyMark() > mark,
                KeyMark() > mark ? "keys arrive after the return" : "no key arrived after the return");
    }

    void SuspendAndResume() {
        Step("suspend and resume");
        DWORD start = GetTickCount();
        const int32_t suspended = driver->Suspend(1);
        report.Say("Suspend(1): %d after %lu ms; a write now: %d\n", static_cast<int>(suspended),
                   GetTickCount() - start, static_cast<int>(WriteText("suspended")));
        const std::string freeWhileSuspended = PortState(true, "while suspended");
        const size_t mark = KeyMark();
        const bool pressed =
            WaitForEnter("The driver has let go of the display. Press any key on it: nothing should arrive.");
        const size_t whileSuspended = KeyMark() - mark;
        report.Say("keys while suspended: %s\n", KeysSince(mark).c_str());
        start = GetTickCount();
        const int32_t resumed = driver->Suspend(0);
        report.Say("Suspend(0): %d after %lu ms\n", static_cast<int>(resumed), GetTickCount() - start);
        Pump(500);
        const std::string heldAfter = PortState(false, "after the resume");
        report.Say("write \"resumed\": %d\n", static_cast<int>(WriteText("resumed")));
        std::string faults;
        if (suspended != 1 || resumed != 1) faults += "Suspend failed; ";
        if (whileSuspended) faults += "a key arrived while suspended; ";
        if (!freeWhileSuspended.empty()) faults += freeWhileSuspended + "; ";
        if (!heldAfter.empty()) faults += heldAfter + "; ";
        if (!faults.empty()) faults.resize(faults.size() - 2);
        if (!faults.empty()) return Verdict("suspend and resume", false, faults);
        if (!pressed) return NotChecked("suspend and resume", "nobody answered (the port checks passed)");
        Judge("suspend and resume", true, "Does the display show \"resumed\"?");
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
        // into the report, and while it holds the port the port must be free.
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
        std::string output;
        std::string freeWhileLent = "the lend was not seen";
        auto collect = [&] {
            DWORD available = 0;
            while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available) {
                char buffer[512];
                DWORD got = 0;
                if (!ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) || !got) break;
                output.append(buffer, got);
            }
        };
        if (ran) {
            bool lendChecked = false;
            while (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT && GetTickCount() - start < 30000) {
                Pump(50);
                collect();
                if (!lendChecked && output.find("holding the port") != std::string::npos) {
                    lendChecked = true;
                    freeWhileLent = PortState(true, "while lent");
                }
            }
            if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, 5000);
            GetExitCodeProcess(process.hProcess, &code);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            collect();
            if (!serial) freeWhileLent.clear();
        }
        if (readEnd) CloseHandle(readEnd);
        report.Write(output);
        report.Say("handover.exe ended with %lu after %lu ms\n", code, GetTickCount() - start);
        Pump(500);
        const std::string heldAfter = PortState(false, "after the handover");
        report.Say("write \"handover done\": %d\n", static_cast<int>(WriteText("handover done")));
        std::string faults;
        if (code != 0) faults += "handover.exe ended with " + std::to_string(code) + "; ";
        if (!freeWhileLent.empty()) faults += freeWhileLent + "; ";
        if (!heldAfter.empty()) faults += heldAfter + "; ";
        if (!faults.empty()) faults.resize(faults.size() - 2);
        Judge("port handover", faults.empty(), "Does the display show \"handover done\"?", faults);
    }

    int Finish(const std::string& reportPath, int code) {
        if (started) {
            WriteText("check finished");
            driver->Terminate();
        }
        report.Say("\n== summary\n");
        for (const std::string& line : summary) report.Say("%s\n", line.c_str());
        report.Say("%s\n", code == kExitPassed ? "every step passed"
                           : failed || code != kExitStepFailed
                               ? "NOT every step passed"
                               : "NOT every step was checked (the steps checked passed)");
        if (report.Save(reportPath)) {
            tools::Print("report written to %s\n", reportPath.c_str());
        } else {
            tools::Print("cannot write the report to %s\n", reportPath.c_str());
        }
        return code;
    }

    IBrailleDriver* driver;
    const std::string port;
    CReport& report;
    CCheckHost host;
    CInput input;
    int32_t textCells = 0;
    int32_t statusCells = 0;
    bool serial = true;  // a COM port, not "usb"
    bool underWine = false;
    bool answersEchoed = false;  // the console shows typed answers itself
    bool started = false;
    bool portOpens = true;
    bool failed = false;
    bool notChecked = false;
    bool gone = false;  // the input has ended: nobody answers any more
    bool capsKnown = false;
    bool capsAtStart = false;  // Caps Lock as the person had it
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
