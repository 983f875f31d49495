// displaysim: a braille display on a COM port, for trying the driver without hardware.
#include "display_sim.h"
#include "system_message.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <shellapi.h>

namespace {

const char kUsage[] =
    "usage: displaysim COMn [options]\n"
    "  --cells N            text cells reported to the driver (0-255, default 40)\n"
    "  --version A,B        version bytes of the identity reply (default 5,7)\n"
    "  --ack MODE           now | delay:MS | never | drop:N (every Nth left out) | corrupt\n"
    "  --trace              print every frame in and out, in hex with its meaning\n"
    "  --script \"ACTIONS\"   actions separated by ';' or new lines (see below)\n"
    "  --script-file F      the same, read from a file\n"
    "  --interactive        keys typed here are sent to the driver (after any script)\n"
    "  --timeout MS         end the run after MS milliseconds\n"
    "Actions: wait MS | wait-text | fkey N | route N | char C | scan HEX | print TEXT | quit\n"
    "  fkey and route send the raw key code (route 1 and 2 are the status keys, route 3\n"
    "  the first text cell); char C is one character, or a number of two or more digits\n"
    "  (decimal or 0x..; 256 and up are special keys, 256 = Enter).\n"
    "Interactive keys: characters and Enter, arrows, Insert, Home, Delete, End, PgUp,\n"
    "  PgDn, Backspace, Tab, Esc as character frames; F1-F10 function keys 1-10\n"
    "  (Shift+F1-F10: 17-26); Ctrl+R, a number and Enter: routing key with that code;\n"
    "  Ctrl+Q or Ctrl+C: quit.\n"
    "With a script and no --interactive the program ends when the script ends; otherwise\n"
    "it runs until quit, Ctrl+C or the timeout.\n";

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

// The display line: redrawn in place on a console, one line per change elsewhere.
class CScreen {
public:
    explicit CScreen(bool inPlace) : inPlace(inPlace) {}
    void Show(const std::string& status, const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        std::string line = "[" + status + "] " + text;
        if (line == last) return;
        last = line;
        printf(inPlace ? "\r%s" : "%s\n", line.c_str());
        fflush(stdout);
        open = inPlace;
    }
    void Message(const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        printf("%s%s\n", open ? "\n" : "", text.c_str());
        if (open && !last.empty()) printf("\r%s", last.c_str());
        fflush(stdout);
    }
    void EndLine() {
        std::lock_guard<std::mutex> guard(lock);
        if (open) printf("\n");
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

// Returns false when the run should end.
bool RunScript(const std::vector<Action>& actions, sim::CSimDisplay& display, CScreen& screen) {
    for (const Action& a : actions) {
        if (Remaining() == 0) return false;
        if (a.verb == "quit") return false;
        if (a.verb == "wait") {
            if (!Pause(static_cast<DWORD>(a.value))) return false;
        } else if (a.verb == "wait-text") {
            while (!display.WaitForText(200))
                if (Remaining() == 0) {
                    screen.Message("no text arrived");
                    return false;
                }
        } else if (a.verb == "fkey") {
            display.PressFunctionKey(static_cast<uint8_t>(a.value));
        } else if (a.verb == "route") {
            display.PressRoutingKey(static_cast<uint8_t>(a.value));
        } else if (a.verb == "char") {
            display.TypeCharacter(static_cast<uint16_t>(a.value));
        } else if (a.verb == "scan") {
            display.SendScanCode(static_cast<uint16_t>(a.value));
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

void RunInteractive(sim::CSimDisplay& display, CScreen& screen) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    if (!GetConsoleMode(in, &mode)) {
        screen.Message("--interactive needs a console for input");
        return;
    }
    SetConsoleMode(in, ENABLE_PROCESSED_INPUT);
    screen.Message("interactive: type to send keys; Ctrl+Q quits");
    bool routing = false;
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
        bool shift = k.dwControlKeyState & SHIFT_PRESSED;
        if (ctrl && vk == 'Q') return;
        if (routing) {
            if (vk >= '0' && vk <= '9' && number.size() < 3) {
                number.push_back(static_cast<char>(vk));
            } else if (vk == VK_RETURN || vk == VK_ESCAPE) {
                unsigned long code;
                if (vk == VK_RETURN && ParseNumber(number, 255, &code)) {
                    display.PressRoutingKey(static_cast<uint8_t>(code));
                    screen.Message("routing key " + number);
                }
                routing = false;
            }
            continue;
        }
        if (ctrl && vk == 'R') {
            routing = true;
            number.clear();
        } else if (vk >= VK_F1 && vk <= VK_F10) {
            display.PressFunctionKey(static_cast<uint8_t>(vk - VK_F1 + 1 + (shift ? 16 : 0)));
        } else if (uint16_t special = SpecialKey(vk, shift)) {
            display.TypeCharacter(special);
        } else if (k.uChar.UnicodeChar >= 0x20) {
            char utf8[8];
            int len = WideCharToMultiByte(CP_UTF8, 0, &k.uChar.UnicodeChar, 1, utf8, sizeof utf8, nullptr, nullptr);
            unsigned long code;
            if (len > 0 && CharacterCode(std::string(utf8, len), &code))
                display.TypeCharacter(static_cast<uint16_t>(code));
        }
    }
}

int Fail(const std::string& message) {
    fprintf(stderr, "displaysim: %s\n%s", message.c_str(), kUsage);
    return 1;
}

}  // namespace

// The arguments in UTF-8: main's argv is in the ANSI code page, which cannot hold every
// character a script may type.
std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return std::vector<std::string>(argv, argv + argc);
    for (int i = 0; i < count; ++i) {
        int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(n > 0 ? n - 1 : 0, '\0');
        if (n > 1) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &arg[0], n, nullptr, nullptr);
        args.push_back(arg);
    }
    LocalFree(wide);
    return args;
}

int main(int argc, char** argv) {
    std::vector<std::string> args = Utf8Arguments(argc, argv);
    argc = static_cast<int>(args.size());
    sim::CSimDisplay::Options options;
    std::string port;
    std::vector<Action> actions;
    bool haveScript = false;
    bool interactive = false;
    unsigned long timeoutMs = 0;
    std::string error;
    for (int i = 1; i < argc; ++i) {
        const std::string& arg = args[i];
        bool hasValue = i + 1 < argc;
        std::string value = hasValue ? args[i + 1] : "";
        unsigned long a, b;
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--trace") {
            options.trace = true;
        } else if (arg == "--interactive") {
            interactive = true;
        } else if (arg.rfind("--", 0) == 0 && !hasValue) {
            return Fail(arg + " needs a value");
        } else if (arg == "--cells") {
            if (!ParseNumber(value, 255, &a)) return Fail("bad --cells " + value);
            options.textCells = static_cast<int>(a);
            ++i;
        } else if (arg == "--version") {
            size_t comma = value.find(',');
            if (comma == std::string::npos || !ParseNumber(value.substr(0, comma), 255, &a) ||
                !ParseNumber(value.substr(comma + 1), 255, &b))
                return Fail("bad --version " + value);
            options.version[0] = static_cast<uint8_t>(a);
            options.version[1] = static_cast<uint8_t>(b);
            ++i;
        } else if (arg == "--ack") {
            if (value == "now")
                options.ack = sim::AckPolicy::Immediate;
            else if (value == "never")
                options.ack = sim::AckPolicy::Never;
            else if (value == "corrupt")
                options.ack = sim::AckPolicy::CorruptChecksum;
            else if (value.rfind("delay:", 0) == 0 && ParseNumber(value.substr(6), 600000, &a)) {
                options.ack = sim::AckPolicy::Delayed;
                options.ackDelayMs = a;
            } else if (value.rfind("drop:", 0) == 0 && ParseNumber(value.substr(5), 1000000, &a) && a > 0) {
                options.ack = sim::AckPolicy::DropEveryNth;
                options.dropEveryNth = static_cast<int>(a);
            } else {
                return Fail("bad --ack " + value);
            }
            ++i;
        } else if (arg == "--script" || arg == "--script-file") {
            std::string text = value;
            if (arg == "--script-file") {
                std::ifstream file(value, std::ios::binary);
                if (!file) return Fail("cannot read " + value);
                text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
            }
            if (!ParseScript(text, &actions, &error)) return Fail(error);
            haveScript = true;
            ++i;
        } else if (arg == "--timeout") {
            if (!ParseNumber(value, 0xFFFFFFFEul, &timeoutMs)) return Fail("bad --timeout " + value);
            ++i;
        } else if (arg.rfind('-', 0) == 0 || !port.empty()) {
            return Fail("unexpected argument " + arg);
        } else {
            port = arg;
        }
    }
    if (port.empty()) return Fail("no port given");

    SetConsoleOutputCP(CP_UTF8);
    quitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnCtrl, TRUE);
    if (timeoutMs) deadline = sim::NowMs() + static_cast<double>(timeoutMs);

    DWORD consoleMode;
    // With a trace the frame lines would tear an in-place line apart.
    CScreen screen(!options.trace && GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &consoleMode));
    sim::CSimDisplay display;
    int textCells = options.textCells;
    display.SetDisplayCallback(
        [&](const std::array<uint8_t, sim::kImageCells>& cells) { ShowDisplay(screen, cells, textCells); });
    if (!display.Open(port.c_str(), options)) {
        fprintf(stderr, "displaysim: cannot open %s: %s\n", port.c_str(), tools::SystemMessage(GetLastError()).c_str());
        return 1;
    }
    screen.Message("displaysim on " + port + ": " + std::to_string(textCells) + " text cells, waiting for the driver");

    bool running = !haveScript || RunScript(actions, display, screen);
    if (running && interactive)
        RunInteractive(display, screen);
    else if (running && !haveScript)
        WaitForSingleObject(quitEvent, Remaining());
    if (deadline != 0 && sim::NowMs() >= deadline) screen.Message("time limit reached");

    display.Close();
    screen.EndLine();
    sim::Counters n = display.GetCounters();
    printf(
        "frames received %u (display %u, identify %u, identify done %u, acks %u, other %u), "
        "bad checksums %u, discarded bytes %u; sent: acks %u, identity replies %u, keys %u",
        n.framesReceived, n.displayFrames, n.identifyRequests, n.identifyDone, n.acksReceived, n.otherFrames,
        n.badChecksums, n.discardedBytes, n.acksSent, n.identityReplies, n.keyFramesSent);
    if (n.writeFailures) printf(", write failures %u", n.writeFailures);
    printf("\n");
    CloseHandle(quitEvent);
    return 0;
}
