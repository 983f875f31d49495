// displaysim: a braille display on a COM port, for trying the driver without hardware.
#include "console_text.h"
#include "display_sim.h"
#include "system_message.h"
#include "tool_args.h"
#include "usb_end.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

namespace {

const char kNotes[] =
    "Script actions (--script or --script-file; separated by ';' or new lines):\n"
    "  wait MS | wait-text | fkey N | route N | char C | scan HEX | print TEXT | quit\n"
    "  fkey and route send the raw key code (fkey 1-64; route 1 and 2 are the status keys,\n"
    "  route 3 the first text cell); char C is one character, or a number of two or more\n"
    "  digits (decimal or 0x..; 256 and up are special keys, 256 = Enter).\n"
    "With a script and no --interactive the program ends when the script ends; otherwise\n"
    "it runs until quit, Ctrl+C or the timeout. --interactive prints its key legend.\n"
    "Exit codes: 0 done; 1 the port cannot be opened; 2 bad arguments.\n";

// What --interactive prints before it starts: every key of the display can be pressed.
const char kLegend[] =
    "keys of the display (this terminal is its keyboard):\n"
    "  F1..F10              function keys F1..F10 (codes 1-10)\n"
    "  Alt+Left/Up/Right/Down  LF, UP, RG, DN (codes 11-14)\n"
    "  with Shift / Ctrl / Ctrl+Shift: the S, L and SL groups (codes +16, +32, +48)\n"
    "  F11 / Shift+F11      alternate routing on (code 63) / off (code 64)\n"
    "  Ctrl+F NUMBER Enter  function key with that code (1-64)\n"
    "  Ctrl+R NUMBER Enter  routing key with that code (1, 2 status keys; 3 the first cell)\n"
    "  letters, Enter, arrows, Insert, Home, Delete, End, PgUp, PgDn, Backspace, Tab, Esc:\n"
    "                       typed on the display's keyboard\n"
    "  Ctrl+Q or Ctrl+C     quit\n";

struct Action {
    std::string verb;
    std::string arg;
    unsigned long value = 0;
};

HANDLE quitEvent;
double deadline = 0;  // 0: no time limit

BOOL WINAPI OnCtrl(DWORD) {
    SetEvent(quitEvent);
    return TRUE;
}

// Milliseconds left before quitting (INFINITE when unbounded), 0 once it is time to stop.
DWORD Remaining() {
    if (WaitForSingleObject(quitEvent, 0) == WAIT_OBJECT_0) return 0;
    if (deadline == 0) return INFINITE;
    double left = deadline - sim::NowMs();
    return left <= 0 ? 0 : static_cast<DWORD>(left) + 1;
}

// Waits ms milliseconds; false when the run ended meanwhile (quit or time limit).
bool Pause(DWORD ms) {
    DWORD left = Remaining();
    if (left == 0) return false;
    if (left <= ms) {
        WaitForSingleObject(quitEvent, left);
        return false;
    }
    return WaitForSingleObject(quitEvent, ms) == WAIT_TIMEOUT;
}

// Decimal, or hexadecimal with 0x (base 16: with or without 0x). No sign, no leading
// zeros taken as octal.
bool ParseNumber(const std::string& text, unsigned long max, unsigned long* out, bool hex = false) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        hex = true;
    }
    if (digits.empty() || digits.size() > 10 || !isxdigit(static_cast<unsigned char>(digits[0]))) return false;
    char* end = nullptr;
    unsigned long v = strtoul(digits.c_str(), &end, hex ? 16 : 10);
    if (*end || v > max) return false;
    *out = v;
    return true;
}

// One character as the display sends it: ASCII as is, others in code page 437.
bool CharacterCode(const std::string& text, unsigned long* out) {
    wchar_t wide[4];
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide, 4);
    if (n != 1) return false;
    if (wide[0] < 0x80) {
        *out = wide[0];
        return true;
    }
    char oem;
    BOOL lossy = FALSE;
    if (WideCharToMultiByte(437, 0, wide, 1, &oem, 1, nullptr, &lossy) != 1 || lossy) return false;
    *out = static_cast<uint8_t>(oem);
    return true;
}

bool ParseScript(const std::string& text, std::vector<Action>* actions, std::string* error) {
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, ';')) {
        std::istringstream lines(item);
        std::string line;
        while (std::getline(lines, line)) {
            size_t b = line.find_first_not_of(" \t\r");
            if (b == std::string::npos) continue;
            size_t e = line.find_last_not_of(" \t\r");
            line = line.substr(b, e - b + 1);
            Action a;
            size_t space = line.find_first_of(" \t");
            a.verb = line.substr(0, space);
            if (space != std::string::npos) a.arg = line.substr(line.find_first_not_of(" \t", space));
            bool ok = true;
            if (a.verb == "wait")
                ok = ParseNumber(a.arg, 0xFFFFFFFEul, &a.value);
            else if (a.verb == "fkey" || a.verb == "route")
                ok = ParseNumber(a.arg, 255, &a.value);
            else if (a.verb == "char")
                ok = CharacterCode(a.arg, &a.value) || (a.arg.size() > 1 && ParseNumber(a.arg, 0xFFFF, &a.value));
            else if (a.verb == "scan")
                ok = ParseNumber(a.arg, 0xFFFF, &a.value, true);
            else if (a.verb == "wait-text" || a.verb == "quit")
                ok = a.arg.empty();
            else if (a.verb != "print")
                ok = false;
            if (!ok) {
                *error = "bad script action: " + line;
                return false;
            }
            actions->push_back(a);
        }
    }
    return true;
}

// What the script and the keyboard press, whatever carries it to the driver.
// The serial display (CSimDisplay on a COM port) is one such end.
struct DisplayEnd {
    std::function<bool(uint8_t)> functionKey;
    std::function<bool(uint8_t)> routingKey;
    std::function<bool(uint16_t)> character;
    std::function<bool(uint16_t)> scanCode;
    std::function<bool(DWORD)> waitForText;  // true once a display frame with text arrived
};

// The name printed on the display's key: group prefix and base name; codes 63
// and 64 switch the alternate routing mode.
std::string FunctionKeyName(unsigned code) {
    static const char* const kBase[14] = {"F1", "F2", "F3",  "F4", "F5", "F6", "F7",
                                          "F8", "F9", "F10", "LF", "UP", "RG", "DN"};
    static const char* const kGroup[4] = {"", "S", "L", "SL"};
    if (code == 63) return "alternate routing on";
    if (code == 64) return "alternate routing off";
    if (code < 1 || code > 64 || (code - 1) % 16 >= 14) return "no key name";
    return std::string(kGroup[(code - 1) / 16]) + kBase[(code - 1) % 16];
}

// The display line: redrawn in place on a console, one line per change elsewhere.
// Every write is one whole line (or the in-place line with its carriage return).
class CScreen {
public:
    explicit CScreen(bool inPlace) : inPlace(inPlace) {}
    void Show(const std::string& status, const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        std::string line = "[" + status + "] " + text;
        if (line == last) return;
        last = line;
        tools::Write(tools::Stream::kOut, inPlace ? "\r" + line : line + "\n");
        open = inPlace;
    }
    void Message(const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        std::string out = (open ? "\n" : "") + text + "\n";
        if (open && !last.empty()) out += "\r" + last;
        tools::Write(tools::Stream::kOut, out);
    }
    void EndLine() {
        std::lock_guard<std::mutex> guard(lock);
        if (open) tools::Write(tools::Stream::kOut, "\n");
        open = false;
    }

private:
    std::mutex lock;
    bool inPlace;
    bool open = false;
    std::string last;
};

void ShowDisplay(CScreen& screen, const std::array<uint8_t, sim::kImageCells>& cells, int textCells) {
    uint8_t host[sim::kImageCells];
    for (size_t i = 0; i < sim::kImageCells; ++i) host[i] = sim::DeviceToHostDots(cells[i]);
    size_t text = static_cast<size_t>(textCells) < sim::kFrameTextCells ? textCells : sim::kFrameTextCells;
    screen.Show(sim::CellsToUnicodeBraille(host, sim::kStatusCells),
                sim::CellsToUnicodeBraille(host + sim::kStatusCells, text));
}

void PressFunctionKey(const DisplayEnd& display, CScreen& screen, unsigned code) {
    display.functionKey(static_cast<uint8_t>(code));
    screen.Message("function key " + std::to_string(code) + " (" + FunctionKeyName(code) + ")");
}

// Returns false when the run should end.
bool RunScript(const std::vector<Action>& actions, const DisplayEnd& display, CScreen& screen) {
    for (const Action& a : actions) {
        if (Remaining() == 0) return false;
        if (a.verb == "quit") return false;
        if (a.verb == "wait") {
            if (!Pause(static_cast<DWORD>(a.value))) return false;
        } else if (a.verb == "wait-text") {
            while (!display.waitForText(200))
                if (Remaining() == 0) {
                    screen.Message("no text arrived");
                    return false;
                }
        } else if (a.verb == "fkey") {
            display.functionKey(static_cast<uint8_t>(a.value));
        } else if (a.verb == "route") {
            display.routingKey(static_cast<uint8_t>(a.value));
        } else if (a.verb == "char") {
            display.character(static_cast<uint16_t>(a.value));
        } else if (a.verb == "scan") {
            display.scanCode(static_cast<uint16_t>(a.value));
        } else if (a.verb == "print") {
            screen.Message(a.arg);
        }
    }
    return true;
}

uint16_t SpecialKey(WORD vk, bool shift) {
    switch (vk) {
    case VK_RETURN:
        return 256;
    case VK_UP:
        return 257;
    case VK_DOWN:
        return 258;
    case VK_RIGHT:
        return 259;
    case VK_LEFT:
        return 260;
    case VK_INSERT:
        return 261;
    case VK_HOME:
        return 262;
    case VK_DELETE:
        return 263;
    case VK_END:
        return 264;
    case VK_PRIOR:
        return 265;
    case VK_NEXT:
        return 266;
    case VK_BACK:
        return 267;
    case VK_TAB:
        return shift ? 382 : 268;
    case VK_ESCAPE:
        return 269;
    default:
        return 0;
    }
}

// The function key code a console key gives (0: none): F1-F10 and Alt with an
// arrow are the 14 keys of a group; Shift, Ctrl and both pick the group.
unsigned FunctionKeyCode(WORD vk, bool shift, bool ctrl, bool alt) {
    if (vk == VK_F11) return shift ? 64 : 63;
    int position = -1;
    if (vk >= VK_F1 && vk <= VK_F10) position = vk - VK_F1;
    if (alt && vk == VK_LEFT) position = 10;
    if (alt && vk == VK_UP) position = 11;
    if (alt && vk == VK_RIGHT) position = 12;
    if (alt && vk == VK_DOWN) position = 13;
    if (position < 0) return 0;
    return static_cast<unsigned>(position + 1 + (shift ? 16 : 0) + (ctrl ? 32 : 0));
}

void RunInteractive(const DisplayEnd& display, CScreen& screen) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    if (!GetConsoleMode(in, &mode)) {
        screen.Message("--interactive needs a console for input");
        return;
    }
    SetConsoleMode(in, ENABLE_PROCESSED_INPUT);
    screen.Message(std::string(kLegend, sizeof kLegend - 2));  // without its last line end
    char entry = 0;  // 'R' or 'F' while a routing or function key code is typed
    std::string number;
    for (;;) {
        DWORD left = Remaining();
        if (left == 0) return;
        HANDLE handles[2] = {quitEvent, in};
        if (WaitForMultipleObjects(2, handles, FALSE, left) != WAIT_OBJECT_0 + 1) return;
        INPUT_RECORD rec;
        DWORD n = 0;
        if (!ReadConsoleInputW(in, &rec, 1, &n) || n == 0) continue;
        if (rec.EventType != KEY_EVENT || !rec.Event.KeyEvent.bKeyDown) continue;
        const KEY_EVENT_RECORD& k = rec.Event.KeyEvent;
        WORD vk = k.wVirtualKeyCode;
        bool ctrl = k.dwControlKeyState & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED);
        bool alt = k.dwControlKeyState & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED);
        bool shift = k.dwControlKeyState & SHIFT_PRESSED;
        if (ctrl && vk == 'Q') return;
        if (entry) {
            if (vk >= '0' && vk <= '9' && number.size() < 3) {
                number.push_back(static_cast<char>(vk));
            } else if (vk == VK_RETURN || vk == VK_ESCAPE) {
                unsigned long code;
                if (vk == VK_RETURN && ParseNumber(number, 255, &code)) {
                    if (entry == 'R') {
                        display.routingKey(static_cast<uint8_t>(code));
                        screen.Message("routing key " + number);
                    } else {
                        PressFunctionKey(display, screen, code);
                    }
                }
                entry = 0;
            }
            continue;
        }
        if (ctrl && (vk == 'R' || vk == 'F')) {
            entry = static_cast<char>(vk);
            number.clear();
        } else if (unsigned code = FunctionKeyCode(vk, shift, ctrl, alt)) {
            PressFunctionKey(display, screen, code);
        } else if (uint16_t special = SpecialKey(vk, shift)) {
            display.character(special);
        } else if (k.uChar.UnicodeChar >= 0x20) {
            char utf8[8];
            int len = WideCharToMultiByte(CP_UTF8, 0, &k.uChar.UnicodeChar, 1, utf8, sizeof utf8, nullptr, nullptr);
            unsigned long code;
            if (len > 0 && CharacterCode(std::string(utf8, len), &code)) display.character(static_cast<uint16_t>(code));
        }
    }
}

struct Settings {
    sim::CSimDisplay::Options display;
    std::string port;
    std::vector<Action> actions;
    bool haveScript = false;
    bool interactive = false;
    bool usb = false;
    unsigned long timeoutMs = 0;
};

// The options the table cannot check itself; "" when all are right.
std::string CheckValues(const std::string& version, const std::string& ack, const std::string& script,
                        const std::string& scriptFile, Settings* s) {
    unsigned long a, b;
    if (!version.empty()) {
        size_t comma = version.find(',');
        if (comma == std::string::npos || !ParseNumber(version.substr(0, comma), 255, &a) ||
            !ParseNumber(version.substr(comma + 1), 255, &b))
            return "--version takes two numbers from 0 to 255 as A,B, not \"" + version + "\"";
        s->display.version[0] = static_cast<uint8_t>(a);
        s->display.version[1] = static_cast<uint8_t>(b);
    }
    if (!ack.empty()) {
        if (ack == "now") {
            s->display.ack = sim::AckPolicy::Immediate;
        } else if (ack == "never") {
            s->display.ack = sim::AckPolicy::Never;
        } else if (ack == "corrupt") {
            s->display.ack = sim::AckPolicy::CorruptChecksum;
        } else if (ack.rfind("delay:", 0) == 0 && ParseNumber(ack.substr(6), 600000, &a)) {
            s->display.ack = sim::AckPolicy::Delayed;
            s->display.ackDelayMs = a;
        } else if (ack.rfind("drop:", 0) == 0 && ParseNumber(ack.substr(5), 1000000, &a) && a > 0) {
            s->display.ack = sim::AckPolicy::DropEveryNth;
            s->display.dropEveryNth = static_cast<int>(a);
        } else {
            return "--ack takes now, delay:MS, never, drop:N or corrupt, not \"" + ack + "\"";
        }
    }
    std::string text = script;
    if (!scriptFile.empty()) {
        std::ifstream file(scriptFile, std::ios::binary);
        if (!file) return "cannot read " + scriptFile;
        text += "\n" + std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    std::string error;
    if (!ParseScript(text, &s->actions, &error)) return error;
    if (s->port.empty() && !s->usb) return "no port given";
    if (!s->port.empty() && s->usb) return "a port or --usb, not both";
    return std::string();
}

// The script, then the keyboard or the wait until the end, whichever end plays.
void Play(const Settings& settings, const DisplayEnd& end, CScreen& screen) {
    bool running = !settings.haveScript || RunScript(settings.actions, end, screen);
    if (running && settings.interactive)
        RunInteractive(end, screen);
    else if (running && !settings.haveScript)
        WaitForSingleObject(quitEvent, Remaining());
    if (deadline != 0 && sim::NowMs() >= deadline) screen.Message("time limit reached");
}

// The serial end: CSimDisplay on a COM port, showing every display frame.
int RunSerial(const Settings& settings, CScreen& screen) {
    sim::CSimDisplay display;
    const int textCells = settings.display.textCells;
    display.SetDisplayCallback(
        [&](const std::array<uint8_t, sim::kImageCells>& cells) { ShowDisplay(screen, cells, textCells); });
    if (!display.Open(settings.port.c_str(), settings.display)) {
        tools::PrintError("displaysim: cannot open %s: %s\n", settings.port.c_str(),
                          tools::SystemMessage(GetLastError()).c_str());
        return 1;
    }
    screen.Message("displaysim on " + settings.port + ": " + std::to_string(textCells) +
                   " text cells, waiting for the driver");
    DisplayEnd end;
    end.functionKey = [&](uint8_t code) { return display.PressFunctionKey(code); };
    end.routingKey = [&](uint8_t code) { return display.PressRoutingKey(code); };
    end.character = [&](uint16_t code) { return display.TypeCharacter(code); };
    end.scanCode = [&](uint16_t code) { return display.SendScanCode(code); };
    end.waitForText = [&](DWORD ms) { return display.WaitForText(ms); };

    Play(settings, end, screen);

    display.Close();
    screen.EndLine();
    sim::Counters n = display.GetCounters();
    tools::Print(
        "frames received %u (display %u, identify %u, identify done %u, acks %u, other %u), "
        "bad checksums %u, discarded bytes %u; sent: acks %u, identity replies %u, keys %u%s\n",
        n.framesReceived, n.displayFrames, n.identifyRequests, n.identifyDone, n.acksReceived, n.otherFrames,
        n.badChecksums, n.discardedBytes, n.acksSent, n.identityReplies, n.keyFramesSent,
        n.writeFailures ? (", write failures " + std::to_string(n.writeFailures)).c_str() : "");
    return 0;
}

// The USB end: the display on the virtual HID device (under Wine), showing every
// display frame as the serial end does. Only function and routing keys exist there.
int RunUsb(const Settings& settings, CScreen& screen) {
    sim::CUsbEnd display;
    const int textCells = settings.display.textCells;
    std::string error;
    if (!display.Open(
            [&](const std::array<uint8_t, sim::kImageCells>& cells) { ShowDisplay(screen, cells, textCells); },
            settings.display.trace ? settings.display.traceLine : nullptr, &error)) {
        tools::PrintError("displaysim: the USB display cannot be plugged in: %s\n", error.c_str());
        return 1;
    }
    screen.Message("displaysim on USB (virtual HID device): " + std::to_string(textCells) +
                   " text cells, waiting for the driver");
    DisplayEnd end;
    end.functionKey = [&](uint8_t code) { return display.PressFunctionKey(code); };
    end.routingKey = [&](uint8_t code) { return display.PressRoutingKey(code); };
    end.character = [&](uint16_t) {
        screen.Message("typing is not part of the USB display");
        return false;
    };
    end.scanCode = end.character;
    end.waitForText = [&](DWORD ms) { return display.WaitForText(ms); };

    Play(settings, end, screen);
    display.Close();
    screen.EndLine();
    tools::Print("%s\n", display.Summary().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    std::string version, ack, script, scriptFile;
    tools::CArguments args("displaysim", "COMn [options]");
    args.Positional("COMn", "the port of the display's end of the cable", &settings.port);
    args.Flag("--usb", "be the USB display instead, on the virtual HID device (under Wine)", &settings.usb);
    args.Number("--cells", "N", "text cells reported to the driver (default 40)", 0, 255, &settings.display.textCells);
    args.Text("--version", "A,B", "version bytes of the identity reply (default 5,7)", &version);
    args.Text("--ack", "MODE", "now | delay:MS | never | drop:N (every Nth left out) | corrupt", &ack);
    args.Flag("--trace", "print every frame in and out, in hex with its meaning", &settings.display.trace);
    args.Text("--script", "\"ACTIONS\"", "actions separated by ';' or new lines (see below)", &script,
              &settings.haveScript);
    args.Text("--script-file", "F", "the same, read from a file", &scriptFile, &settings.haveScript);
    args.Flag("--interactive", "keys typed here are sent to the driver (after any script)", &settings.interactive);
    args.Number("--timeout", "MS", "end the run after MS milliseconds (0: no limit)", 0, 0xFFFFFFFEll,
                &settings.timeoutMs);
    args.Notes(kNotes);
    if (std::optional<int> code = args.ParseOrExit(tools::Utf8Arguments(argc, argv))) return *code;
    const std::string error = CheckValues(version, ack, script, scriptFile, &settings);
    if (!error.empty()) return args.Refuse("displaysim: " + error);
    settings.display.traceLine = [](const std::string& line) { tools::Write(tools::Stream::kOut, line); };

    quitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnCtrl, TRUE);
    if (settings.timeoutMs) deadline = sim::NowMs() + static_cast<double>(settings.timeoutMs);
    // With a trace the frame lines would tear an in-place line apart.
    CScreen screen(!settings.display.trace && tools::IsConsole(tools::Stream::kOut));
    const int code = settings.usb ? RunUsb(settings, screen) : RunSerial(settings, screen);
    CloseHandle(quitEvent);
    return code;
}
