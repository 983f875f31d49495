// Keystroke emulation: what reaches keystroke synthesis (and the host, for
// Ctrl) for the display's character codes and scan codes, the translation
// checked against the system's code page and the keyboard's rows, and real
// synthetic keystrokes arriving in a focused window.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <process.h>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "keyboard/keyboard.h"
#include "support/test_env.h"

namespace {

// One call seen by the seam or the host, in the order it happened.
struct Call {
    enum Kind { Input, Data } kind;
    explicit Call(Kind k) : kind(k) {}
    int size = 0;
    std::vector<INPUT> inputs;
    std::vector<uint8_t> bytes;
};

class CRecordingPlatform : public IPlatform {
public:
    std::map<WCHAR, SHORT> layout;  // characters the layout has a key for
    std::vector<WCHAR> scanned;     // characters handed to VkKeyScanExW
    std::vector<HKL> layoutsUsed;   // the layout of each of those calls
    std::vector<HKL> scanLayouts;   // the layout of each MapVirtualKeyExW call
    std::vector<Call> calls;
    DWORD tick = 0;
    DWORD foregroundThread = 0;
    std::map<DWORD, HKL> threadLayouts;  // thread 0 is the worker itself
    bool capsLock = false;               // in the foreground window's thread, which reads the user's keys

    DWORD ForegroundThread() override { return foregroundThread; }
    HKL GetKeyboardLayout(DWORD thread) override {
        auto it = threadLayouts.find(thread);
        return it == threadLayouts.end() ? nullptr : it->second;
    }
    UINT MapVirtualKeyExW(UINT code, UINT mapType, HKL used) override {
        scanLayouts.push_back(used);
        return mapType == MAPVK_VK_TO_VSC ? 0x100 | (code & 0xFF) : 0;  // 0x100 must not reach the scan code
    }
    SHORT VkKeyScanExW(WCHAR c, HKL used) override {
        scanned.push_back(c);
        layoutsUsed.push_back(used);
        auto it = layout.find(c);
        return it == layout.end() ? static_cast<SHORT>(-1) : it->second;
    }
    SHORT GetKeyState(DWORD thread, int vk) override {
        return vk == VK_CAPITAL && thread && thread == foregroundThread && capsLock ? 1 : 0;
    }
    UINT SendInputs(UINT count, INPUT* inputs, int size) override {
        Call c{Call::Input};
        c.size = size;
        c.inputs.assign(inputs, inputs + count);
        calls.push_back(c);
        return count;
    }
    DWORD TickCount() override { return tick; }
    // The host's bytes must come from TickCount; a value from here would show.
    DWORD NowMs() override { return 0xA5A5A5A5; }
};

class CRecordingHost : public IBrailleHost {
public:
    explicit CRecordingHost(CRecordingPlatform& p) : platform(p) {}
    int32_t BRL_CALL OnKey(IBrailleDriver*, const char*, int32_t) override { return 0; }
    int32_t BRL_CALL OnData(IBrailleDriver* d, const unsigned char* bytes, int32_t count) override {
        driver = d;
        Call c{Call::Data};
        c.bytes.assign(bytes, bytes + count);
        platform.calls.push_back(c);
        return 0;
    }
    CRecordingPlatform& platform;
    IBrailleDriver* driver = nullptr;
};

// The keys of all SendInput calls as "vk+" (down) and "vk-" (up), hex, with
// "e" for an extended key, for readable comparisons. Checks what every typed
// key shares: its scan code from the seam, no other flags, and one call for
// the whole character.
std::string KeySequence(const std::vector<Call>& calls) {
    EXPECT_LE(calls.size(), 1u) << "one SendInput array per character";
    std::ostringstream out;
    for (const Call& c : calls) {
        EXPECT_EQ(40, c.size);
        for (const INPUT& i : c.inputs) {
            EXPECT_EQ(static_cast<DWORD>(INPUT_KEYBOARD), i.type);
            EXPECT_EQ(i.ki.wVk, i.ki.wScan) << "scan code of key " << i.ki.wVk;
            EXPECT_EQ(0u, i.ki.time);
            EXPECT_EQ(0u, i.ki.dwExtraInfo);
            const DWORD flags = i.ki.dwFlags;
            EXPECT_EQ(0u, flags & ~static_cast<DWORD>(KEYEVENTF_KEYUP | KEYEVENTF_EXTENDEDKEY));
            out << std::hex << std::uppercase << i.ki.wVk << ((flags & KEYEVENTF_KEYUP) ? "-" : "+")
                << ((flags & KEYEVENTF_EXTENDEDKEY) ? "e " : " ");
        }
    }
    return out.str();
}

class KeyboardTypeCharacter : public ::testing::Test {
protected:
    CRecordingPlatform platform;
    CKeyboard keyboard{platform};
};

// The layout's answer alone gives Shift, Ctrl and Alt: modifiers press first
// and release in press order; high bits other than the modifiers (Hankaku,
// reserved) are ignored; no key in the layout, no press. The display's code
// page 437 reaches the layout as UTF-16 (on a 1250 or 1253 system an ANSI byte
// would name another letter). With Caps Lock on, it is switched off around the
// character, so letters come out as the display sent them.
TEST_F(KeyboardTypeCharacter, LayoutAnswerGivesModifiersAndKey) {
    const struct {
        uint16_t code;
        WCHAR character;  // what the layout is asked for
        SHORT answer;     // what it answers
        bool capsLock;
        const char* keys;
    } cases[] = {
        {'A', L'A', 0x0141, false, "10+ 41+ 41- 10- "},                  // Shift + A
        {'@', L'@', 0x0632, false, "11+ 12+ 32+ 32- 11- 12- "},          // Ctrl + Alt + 2 (AltGr layouts)
        {'x', L'x', 0x0758, false, "10+ 11+ 12+ 58+ 58- 10- 11- 12- "},  // all three
        {'a', L'a', 0x0041, false, "41+ 41- "},
        {'k', L'k', 0x384B, false, "4B+ 4B- "},
        {'q', L'q', -1, false, ""},
        {'a', L'a', 0x0041, true, "14+ 14- 41+ 41- 14+ 14- "},
        {'A', L'A', 0x0141, true, "14+ 14- 10+ 41+ 41- 10- 14+ 14- "},
        {'q', L'q', -1, true, ""},
        {0x8A, 0x00E8, 0x00C0, false, "C0+ C0- "},                         // è on a Czech layout
        {0xE2, 0x0393, 0x0147, true, "14+ 14- 10+ 47+ 47- 10- 14+ 14- "},  // Γ on a Greek layout
        {0xE1, 0x00DF, 0x00DB, false, "DB+ DB- "},                         // ß on a German layout
        {0xC4, 0x2500, -1, false, ""},                                     // box drawing: no layout has it
    };
    platform.foregroundThread = 77;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        platform.calls.clear();
        platform.scanned.clear();
        platform.layout = {{c.character, c.answer}};
        platform.capsLock = c.capsLock;
        keyboard.TypeCharacter(c.code);
        EXPECT_EQ(c.keys, KeySequence(platform.calls));
        EXPECT_EQ(std::vector<WCHAR>{c.character}, platform.scanned);
    }
}

// Every character of code page 437 reaches the layout as the system itself
// converts it; ASCII passes unchanged.
TEST_F(KeyboardTypeCharacter, CodePage437ReachesTheLayoutAsUnicode) {
    std::vector<WCHAR> expected;
    for (unsigned code = 0; code < 256; ++code) {
        const char byte = static_cast<char>(code);
        WCHAR wide = 0;
        ASSERT_EQ(1, MultiByteToWideChar(437, 0, &byte, 1, &wide, 1));
        expected.push_back(wide);
        keyboard.TypeCharacter(static_cast<uint16_t>(code));
    }
    EXPECT_EQ(expected, platform.scanned);
    EXPECT_TRUE(platform.calls.empty());
}

TEST_F(KeyboardTypeCharacter, SpecialCodesPressTheirKeysWithoutLayoutLookup) {
    struct Case {
        uint16_t code;
        const char* keys;
    };
    // Navigation keys are extended keys, as a real keyboard sends them.
    std::vector<Case> cases = {
        {256, "D+ D- "},     {257, "26+e 26-e "}, {258, "28+e 28-e "}, {259, "27+e 27-e "}, {260, "25+e 25-e "},
        {261, "2D+e 2D-e "}, {262, "24+e 24-e "}, {263, "2E+e 2E-e "}, {264, "23+e 23-e "}, {265, "21+e 21-e "},
        {266, "22+e 22-e "}, {267, "8+ 8- "},     {268, "9+ 9- "},     {269, "1B+ 1B- "},   {270, ""},
        {296, ""},           {300, ""},           {383, ""},           {0xFFFF, ""},
    };
    // Alt+F4, Ctrl+F4, Shift+Tab
    cases.insert(cases.end(), {{297, "12+ 73+ 73- 12- "}, {309, "11+ 73+ 73- 11- "}, {382, "10+ 9+ 9- 10- "}});
    platform.foregroundThread = 77;
    platform.capsLock = true;  // keys, not characters: Caps Lock changes nothing
    for (const auto& c : cases) {
        platform.calls.clear();
        keyboard.TypeCharacter(c.code);
        EXPECT_EQ(c.keys, KeySequence(platform.calls)) << "code " << c.code;
    }
    EXPECT_TRUE(platform.scanned.empty());
}

// The layout of the window typed into, for the character and its scan codes.
TEST_F(KeyboardTypeCharacter, CharactersUseTheForegroundWindowsLayout) {
    HKL worker = reinterpret_cast<HKL>(0x04090409);
    HKL foreground = reinterpret_cast<HKL>(0x04070407);
    platform.threadLayouts[0] = worker;
    platform.threadLayouts[77] = foreground;
    platform.foregroundThread = 77;
    platform.layout[L'z'] = 0x0159;
    keyboard.TypeCharacter('z');
    EXPECT_EQ(std::vector<HKL>(4, foreground), platform.scanLayouts);
    // No foreground window, or one whose thread reports no layout: the worker's own.
    platform.foregroundThread = 0;
    keyboard.TypeCharacter('z');
    platform.foregroundThread = 78;
    keyboard.TypeCharacter(0x82);
    EXPECT_EQ((std::vector<HKL>{foreground, worker, worker}), platform.layoutsUsed);
}

// A key sent by scan code as "scan/flags" (hex).
std::string ScanKey(unsigned scan, unsigned flags) {
    std::ostringstream out;
    out << std::hex << std::uppercase << scan << "/" << flags << " ";
    return out.str();
}

class KeyboardScanCode : public ::testing::Test {
protected:
    CRecordingPlatform platform;
    CKeyboard keyboard{platform};

    // Feeds the codes; the keys they inject as ScanKey, "" for none. Checks
    // what never varies: one record per call, by scan code alone.
    std::string Inject(const std::vector<uint16_t>& codes) {
        platform.calls.clear();
        for (uint16_t c : codes) keyboard.InjectScanCode(c);
        std::string keys;
        for (const Call& c : platform.calls) {
            EXPECT_EQ(40, c.size);
            if (c.inputs.size() != 1) ADD_FAILURE() << "not one record";
            if (c.inputs.empty()) continue;
            const INPUT& i = c.inputs[0];
            EXPECT_EQ(static_cast<DWORD>(INPUT_KEYBOARD), i.type);
            EXPECT_EQ(0, i.ki.wVk);
            EXPECT_EQ(0u, i.ki.time);
            EXPECT_EQ(0u, i.ki.dwExtraInfo);
            keys += ScanKey(i.ki.wScan, i.ki.dwFlags);
        }
        return keys;
    }
};

// Each step feeds codes to the same keyboard, so prefixes carry over from one
// step to the next as they do on the wire; a step injects one key (scan code
// and flags: 8 scan code, 1 extended, 2 key up) or nothing. No case leaves a
// prefix behind for the next.
TEST_F(KeyboardScanCode, PrefixesAndCodesGiveTheMakeCodeBothWays) {
    const struct {
        const char* name;
        std::vector<std::pair<std::vector<uint16_t>, const char*>> steps;
    } cases[] = {
        {"press and release send the make code",
         {{{0x75}, "48/8 "}, {{0xE0, 0xF0, 0x75}, "48/B "}, {{0xE0, 0x75}, "48/9 "}}},
        {"a prefix waits for the next code and is cleared after it",
         {{{0xF0}, ""}, {{0x1C}, "1E/A "}, {{0x1C}, "1E/8 "}}},
        {"codes without a key inject nothing and keep the prefixes",
         {{{0xE0, 0xE1, 0x100, 0x1FF, 0xFFFF}, ""}, {{0x75}, "48/9 "}}},
        {"the extra key keeps its code both ways; empty entries send zero",
         {{{0x61}, "56/8 "},
          {{0xF0, 0x61}, "56/A "},
          {{0xF0, 0x00}, "0/A "},
          {{0xF0, 0x88}, "0/A "},
          {{0xF0, 0xDF}, "0/A "}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& step : c.steps) EXPECT_EQ(step.second, Inject(step.first));
        EXPECT_EQ("1E/8 ", Inject({0x1C})) << "a prefix was left behind";
    }
}

TEST(KeyboardCtrl, HostHearsOfCtrlWithTickBytesBeforeTheKey) {
    CRecordingPlatform platform;
    CBrailleSampleDriver driver{platform};
    CRecordingHost host{platform};
    driver.OnScanCode(0x14);  // without a host Ctrl is still injected
    ASSERT_EQ(1u, platform.calls.size());
    EXPECT_EQ(0x1D, platform.calls[0].inputs.at(0).ki.wScan);

    platform.calls.clear();
    driver.SetHost(&host);
    platform.tick = 0x12345678;  // t = 0x5678
    for (uint16_t c : {0xE0, 0xF0, 0x14}) driver.OnScanCode(c);
    ASSERT_EQ(2u, platform.calls.size());
    EXPECT_EQ(Call::Data, platform.calls[0].kind);
    EXPECT_EQ((std::vector<uint8_t>{0x78, 0x78 ^ 0x56, 0x56}), platform.calls[0].bytes);
    EXPECT_EQ(static_cast<IBrailleDriver*>(&driver), host.driver);
    ASSERT_EQ(Call::Input, platform.calls[1].kind);
    EXPECT_EQ(0x1D, platform.calls[1].inputs.at(0).ki.wScan);
    EXPECT_EQ(0x0Bu, platform.calls[1].inputs.at(0).ki.dwFlags);

    platform.calls.clear();
    platform.tick = 0xFFFF00FF;  // only the low 16 bits count
    driver.OnScanCode(0x14);
    ASSERT_EQ(2u, platform.calls.size());
    EXPECT_EQ((std::vector<uint8_t>{0xFF, 0xFF, 0x00}), platform.calls[0].bytes);
    EXPECT_EQ(0x1D, platform.calls[1].inputs.at(0).ki.wScan);
    // Other keys and prefixes alone tell the host nothing.
    platform.calls.clear();
    for (uint16_t c : {0xE0, 0xF0, 0x12, 0x1D}) driver.OnScanCode(c);
    for (const Call& c : platform.calls) EXPECT_NE(Call::Data, c.kind);
}

// Set 1 counts up by one along the keyboard's rows, on through the function
// keys and the number pad: each run lists the set-2 codes of its keys in that
// order, from the run's first set-1 code. Every code 00-FF is released through
// the keyboard: a listed code gives its make code (so no two keys share one),
// any other below E0 names no key and sends 0, and from E0 on (the prefixes
// among them) nothing is injected.
TEST_F(KeyboardScanCode, SetTwoCodesFollowTheKeyboardsRows) {
    const std::pair<unsigned, std::vector<uint16_t>> runs[] = {
        {0x01,
         {0x76,                                                                                // Esc
          0x16, 0x1E, 0x26, 0x25, 0x2E, 0x36, 0x3D, 0x3E, 0x46, 0x45, 0x4E, 0x55, 0x66, 0x0D,  // 1 .. Backspace, Tab
          0x15, 0x1D, 0x24, 0x2D, 0x2C, 0x35, 0x3C, 0x43, 0x44, 0x4D, 0x54, 0x5B, 0x5A, 0x14,  // Q .. Enter, Ctrl
          0x1C, 0x1B, 0x23, 0x2B, 0x34, 0x33, 0x3B, 0x42, 0x4B, 0x4C, 0x52, 0x0E, 0x12, 0x5D,  // A .. `, Shift,
                                                                                               // backslash
          0x1A, 0x22, 0x21, 0x2A, 0x32, 0x31, 0x3A, 0x41, 0x49, 0x4A, 0x59, 0x7C, 0x11, 0x29, 0x58,    // Z .. Caps Lock
          0x05, 0x06, 0x04, 0x0C, 0x03, 0x0B, 0x83, 0x0A, 0x01, 0x09,                                  // F1 .. F10
          0x77, 0x7E, 0x6C, 0x75, 0x7D, 0x7B, 0x6B, 0x73, 0x74, 0x79, 0x69, 0x72, 0x7A, 0x70, 0x71}},  // Num Lock ..
        {0x56, {0x61, 0x78, 0x07}},  // the 102nd key, F11, F12
        {0x5B, {0x1F, 0x27, 0x2F}},  // the Windows keys and Menu (sent with E0)
    };
    std::map<unsigned, unsigned> make;
    for (const auto& run : runs)
        for (size_t i = 0; i < run.second.size(); ++i)
            ASSERT_TRUE(make.emplace(run.second[i], run.first + i).second) << "listed twice: " << run.second[i];
    ASSERT_EQ(0x53u, make.at(0x71));  // the number pad's point ends the first run
    for (unsigned code = 0; code < 256; ++code) {
        SCOPED_TRACE(testing::Message() << "set-2 code " << std::hex << code);
        const std::string key = ScanKey(make.count(code) ? make[code] : 0, 0x0A);
        EXPECT_EQ(code < 0xE0 ? key : "", Inject({0xF0, static_cast<uint16_t>(code)}));
    }
}

// ---- real synthetic keystrokes, no seam double ----

struct Received {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Received> g_received;

// The keyboard messages a window can receive, by short name.
const std::pair<UINT, const char*> kKeyMessages[] = {{WM_KEYDOWN, "down"},   {WM_KEYUP, "up"},
                                                     {WM_CHAR, "char"},      {WM_SYSKEYDOWN, "sysdown"},
                                                     {WM_SYSKEYUP, "sysup"}, {WM_SYSCHAR, "syschar"}};

const char* MessageName(UINT message) {
    for (const auto& known : kKeyMessages)
        if (known.first == message) return known.second;
    return nullptr;
}

LRESULT CALLBACK RecordingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!MessageName(message)) return DefWindowProcA(window, message, wParam, lParam);
    g_received.push_back({message, wParam, lParam});
    return 0;
}

// Messages as "down:10 char:41 ..." (wParam in hex), or with `keyFields` as
// "down:1E up:1E/up down:48/ext": the scan code of their lParam (hex), the
// extended-key bit and the key-up transition.
std::string Describe(const std::vector<Received>& messages, bool keyFields = false) {
    std::ostringstream out;
    for (const Received& r : messages) {
        const unsigned lp = static_cast<unsigned>(r.lParam);
        out << MessageName(r.message) << ":" << std::hex << std::uppercase;
        if (keyFields)
            out << ((lp >> 16) & 0xFF) << ((lp >> 24) & 1 ? "/ext" : "") << ((lp >> 31) ? "/up" : "");
        else
            out << r.wParam;
        out << " ";
    }
    return out.str();
}

// Runs `work` on a thread of its own, as the driver's worker thread does, while
// this thread keeps dispatching its window's messages.
unsigned __stdcall RunWork(void* work) {
    (*static_cast<std::function<void()>*>(work))();
    return 0;
}

class KeyboardEndToEnd : public ::testing::Test {
protected:
    HWND window = nullptr;
    CKeyboard keyboard{RealPlatform()};  // real keystroke synthesis

    void SetUp() override {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = RecordingWindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "KeyboardTestWindow";
        RegisterClassA(&wc);  // fails harmlessly when an earlier test registered it
        window = CreateWindowExA(0, wc.lpszClassName, "keyboard test", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                 nullptr, wc.hInstance, nullptr);
        ASSERT_NE(nullptr, window);
        ShowWindow(window, SW_SHOW);
        SetForegroundWindow(window);
        SetFocus(window);
        testenv::WaitUntil([] { return false; }, 50);  // let activation messages settle
        g_received.clear();
    }
    void TearDown() override {
        if (window) DestroyWindow(window);
        g_received.clear();
    }

    // Synthesises on another thread and collects until `count` messages have
    // arrived; false when either takes longer than a generous bound.
    bool TypeAndCollect(std::function<void()> work, size_t count) {
        HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RunWork, &work, 0, nullptr));
        EXPECT_NE(nullptr, thread);
        if (!thread) return false;
        bool finished = testenv::WaitUntil([thread] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }, 5000);
        if (!finished) {
            // A synthesis call that never returns must fail this test, not hang the run.
            ADD_FAILURE() << "keystroke synthesis did not return";
            TerminateThread(thread, 1);
            WaitForSingleObject(thread, INFINITE);
        }
        CloseHandle(thread);
        return finished && testenv::WaitUntil([count] { return g_received.size() >= count; }, 3000);
    }
};

TEST_F(KeyboardEndToEnd, TypedCharactersReachFocusedWindowInOrder) {
    ASSERT_EQ(window, GetFocus());
    ASSERT_TRUE(TypeAndCollect([this] { keyboard.TypeCharacter('A'); }, 5)) << Describe(g_received);
    EXPECT_EQ("down:10 down:41 char:41 up:41 up:10 ", Describe(g_received));

    g_received.clear();
    ASSERT_TRUE(TypeAndCollect(
        [this] {
            keyboard.TypeCharacter('b');
            keyboard.TypeCharacter(256);  // Enter
        },
        6))
        << Describe(g_received);
    EXPECT_EQ("down:42 char:62 up:42 down:D char:D up:D ", Describe(g_received));
    // A navigation key arrives as the extended key a real keyboard sends.
    g_received.clear();
    ASSERT_TRUE(TypeAndCollect([this] { keyboard.TypeCharacter(257); }, 2)) << Describe(g_received);
    EXPECT_EQ("down:26 up:26 ", Describe(g_received));
    EXPECT_EQ("down:48/ext up:48/ext/up ", Describe(g_received, true));
}

TEST_F(KeyboardEndToEnd, ScanCodesReachFocusedWindowWithScanCodeInLParam) {
    ASSERT_EQ(window, GetFocus());
    ASSERT_TRUE(TypeAndCollect(
        [this] {
            for (uint16_t c : {0x1C, 0xF0, 0x1C}) keyboard.InjectScanCode(c);              // A press, release
            for (uint16_t c : {0xE0, 0x75, 0xE0, 0xF0, 0x75}) keyboard.InjectScanCode(c);  // Up arrow (extended)
        },
        4))
        << Describe(g_received);
    // A release carries the make code (the whole scan-code byte) and the
    // key-up transition, as Windows reports a real key's release.
    EXPECT_EQ("down:1E up:1E/up down:48/ext up:48/ext/up ", Describe(g_received, true));
}

}  // namespace
