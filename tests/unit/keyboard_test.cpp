// Keystroke emulation: what reaches keystroke synthesis and the host for the
// display's character codes and scan codes, the translation tables, and real
// synthetic keystrokes arriving in a focused window.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <process.h>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "support/test_env.h"

namespace {

// One call seen by the seam or the host, in the order it happened.
struct Call {
    enum Kind { Input, Data } kind;
    explicit Call(Kind k) : kind(k) {}
    UINT count = 0;
    int size = 0;
    INPUT input = {};  // the first record
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
        c.count = count;
        c.size = size;
        c.inputs.assign(inputs, inputs + count);
        if (count >= 1) c.input = inputs[0];
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

// The keys of all SendInput calls as "vk+" (down) and "vk-" (up), hex, for
// readable comparisons. Checks what every typed key shares: its scan code from
// the seam, and one call for the whole character.
std::string KeySequence(const std::vector<Call>& calls) {
    EXPECT_LE(calls.size(), 1u) << "one SendInput array per character";
    std::ostringstream out;
    for (const Call& c : calls) {
        EXPECT_EQ(c.inputs.size(), c.count);
        EXPECT_EQ(40, c.size);
        for (const INPUT& i : c.inputs) {
            EXPECT_EQ(static_cast<DWORD>(INPUT_KEYBOARD), i.type);
            EXPECT_EQ(i.ki.wVk, i.ki.wScan) << "scan code of key " << i.ki.wVk;
            EXPECT_EQ(0u, i.ki.time);
            EXPECT_EQ(0u, i.ki.dwExtraInfo);
            out << std::hex << std::uppercase << i.ki.wVk << ((i.ki.dwFlags & KEYEVENTF_KEYUP) ? "-" : "+") << " ";
        }
    }
    return out.str();
}

class KeyboardTypeCharacter : public ::testing::Test {
protected:
    CRecordingPlatform platform;
    CBrailleSampleDriver driver{platform};
};
using KeyboardTables = KeyboardTypeCharacter;

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
        driver.TypeCharacter(c.code);
        EXPECT_EQ(c.keys, KeySequence(platform.calls));
        EXPECT_EQ(std::vector<WCHAR>{c.character}, platform.scanned);
        for (const Call& call : platform.calls)
            for (const INPUT& i : call.inputs) EXPECT_TRUE(i.ki.dwFlags == 0 || i.ki.dwFlags == KEYEVENTF_KEYUP);
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
        driver.TypeCharacter(static_cast<uint16_t>(code));
    }
    EXPECT_EQ(expected, platform.scanned);
    EXPECT_TRUE(platform.calls.empty());
}

TEST_F(KeyboardTypeCharacter, SpecialCodesPressTheirKeysWithoutLayoutLookup) {
    struct Case {
        uint16_t code;
        const char* keys;
    };
    std::vector<Case> cases = {
        {256, "D+ D- "},   {257, "26+ 26- "}, {258, "28+ 28- "}, {259, "27+ 27- "}, {260, "25+ 25- "},
        {261, "2D+ 2D- "}, {262, "24+ 24- "}, {263, "2E+ 2E- "}, {264, "23+ 23- "}, {265, "21+ 21- "},
        {266, "22+ 22- "}, {267, "8+ 8- "},   {268, "9+ 9- "},   {269, "1B+ 1B- "}, {270, ""},
        {296, ""},         {300, ""},         {383, ""},         {0xFFFF, ""},
    };
    // Alt+F4, Ctrl+F4, Shift+Tab
    cases.insert(cases.end(), {{297, "12+ 73+ 73- 12- "}, {309, "11+ 73+ 73- 11- "}, {382, "10+ 9+ 9- 10- "}});
    platform.foregroundThread = 77;
    platform.capsLock = true;  // keys, not characters: Caps Lock changes nothing
    for (const auto& c : cases) {
        platform.calls.clear();
        driver.TypeCharacter(c.code);
        EXPECT_EQ(c.keys, KeySequence(platform.calls)) << "code " << c.code;
        // Navigation keys are extended keys, as a real keyboard sends them.
        const bool navigation = c.code >= 257 && c.code <= 266;
        for (const Call& call : platform.calls) {
            for (const INPUT& i : call.inputs) {
                const bool modifier = i.ki.wVk == VK_SHIFT || i.ki.wVk == VK_CONTROL || i.ki.wVk == VK_MENU;
                EXPECT_EQ(navigation && !modifier ? KEYEVENTF_EXTENDEDKEY : 0u,
                          i.ki.dwFlags & ~static_cast<DWORD>(KEYEVENTF_KEYUP))
                    << "code " << c.code;
            }
        }
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
    driver.TypeCharacter('z');
    EXPECT_EQ(std::vector<HKL>(4, foreground), platform.scanLayouts);
    // No foreground window, or one whose thread reports no layout: the worker's own.
    platform.foregroundThread = 0;
    driver.TypeCharacter('z');
    platform.foregroundThread = 78;
    driver.TypeCharacter(0x82);
    EXPECT_EQ((std::vector<HKL>{foreground, worker, worker}), platform.layoutsUsed);
}

class KeyboardScanCode : public ::testing::Test {
protected:
    CRecordingPlatform platform;
    CBrailleSampleDriver driver{platform};
    CRecordingHost host{platform};

    void Feed(std::initializer_list<uint16_t> codes) {
        for (uint16_t c : codes) driver.InjectScanCode(c);
    }
    // The one INPUT record of the only call, checked for the fields that never vary.
    static KEYBDINPUT OnlyInput(const CRecordingPlatform& seen) {
        EXPECT_EQ(1u, seen.calls.size());
        if (seen.calls.size() != 1 || seen.calls[0].kind != Call::Input) return KEYBDINPUT{};
        const Call& c = seen.calls[0];
        EXPECT_EQ(1u, c.count);
        EXPECT_EQ(40, c.size);
        EXPECT_EQ(static_cast<DWORD>(INPUT_KEYBOARD), c.input.type);
        EXPECT_EQ(0, c.input.ki.wVk);
        EXPECT_EQ(0u, c.input.ki.time);
        EXPECT_EQ(0u, c.input.ki.dwExtraInfo);
        return c.input.ki;
    }
};

// Each step feeds codes to the same driver, so prefixes carry over from one
// step to the next as they do on the wire; a step either injects one key
// (scan code and flags) or nothing, and leaves the prefix flags behind.
TEST_F(KeyboardScanCode, PrefixesAndCodesGiveTheMakeCodeBothWays) {
    struct Step {
        std::vector<uint16_t> codes;
        bool injects;
        WORD scan;
        DWORD flags;
        uint32_t prefixAfter;
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"press and release send the make code",
         {{{0x75}, true, 0x48, 0x08, 0},
          {{0xE0, 0xF0, 0x75}, true, 0x48, 0x0B, 0},
          {{0xE0, 0x75}, true, 0x48, 0x09, 0}}},
        {"a prefix waits for the next code and is cleared after it",
         {{{0xF0}, false, 0, 0, 2}, {{0x1C}, true, 0x1E, 0x0A, 0}, {{0x1C}, true, 0x1E, 0x08, 0}}},
        {"codes without a key inject nothing and keep the prefixes",
         {{{0xE0, 0xE1, 0x100, 0x1FF, 0xFFFF}, false, 0, 0, 1}, {{0x75}, true, 0x48, 0x09, 0}}},
        {"the extra key keeps its code both ways; empty entries send zero",
         {{{0x61}, true, 0x56, 0x08, 0},
          {{0xF0, 0x61}, true, 0x56, 0x0A, 0},
          {{0xF0, 0x00}, true, 0, 0x0A, 0},
          {{0xF0, 0x88}, true, 0, 0x0A, 0},
          {{0xF0, 0xDF}, true, 0, 0x0A, 0}}},
        {"Ctrl without a host is still injected", {{{0x14}, true, 0x1D, 0x08, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CRecordingPlatform fresh;
        CBrailleSampleDriver own{fresh};
        for (size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            const Step& step = c.steps[i];
            fresh.calls.clear();
            for (uint16_t code : step.codes) own.InjectScanCode(code);
            if (!step.injects) {
                EXPECT_TRUE(fresh.calls.empty());
            } else {
                const KEYBDINPUT ki = OnlyInput(fresh);
                EXPECT_EQ(step.scan, ki.wScan);
                EXPECT_EQ(step.flags, ki.dwFlags);
            }
            EXPECT_EQ(step.prefixAfter, own.scanFlags);
        }
    }
}

TEST_F(KeyboardScanCode, CtrlNotifiesHostWithTickBytesBeforeTheKey) {
    driver.host = &host;
    platform.tick = 0x12345678;  // t = 0x5678
    Feed({0xE0, 0xF0, 0x14});
    ASSERT_EQ(2u, platform.calls.size());
    EXPECT_EQ(Call::Data, platform.calls[0].kind);
    EXPECT_EQ((std::vector<uint8_t>{0x78, 0x78 ^ 0x56, 0x56}), platform.calls[0].bytes);
    EXPECT_EQ(static_cast<IBrailleDriver*>(&driver), host.driver);
    ASSERT_EQ(Call::Input, platform.calls[1].kind);
    EXPECT_EQ(0x1D, platform.calls[1].input.ki.wScan);
    EXPECT_EQ(0x0Bu, platform.calls[1].input.ki.dwFlags);

    platform.calls.clear();
    platform.tick = 0xFFFF00FF;  // only the low 16 bits count
    Feed({0x14});
    ASSERT_EQ(2u, platform.calls.size());
    EXPECT_EQ((std::vector<uint8_t>{0xFF, 0xFF, 0x00}), platform.calls[0].bytes);
    EXPECT_EQ(0x1D, platform.calls[1].input.ki.wScan);
    // Other keys and prefixes alone tell the host nothing.
    platform.calls.clear();
    Feed({0xE0, 0xF0, 0x12, 0x1D});
    for (const Call& c : platform.calls) EXPECT_NE(Call::Data, c.kind);
}

// Written out from the key layout independently of the driver's source: the
// break code of each set-2 code 00-87, sixteen to a row; from 88 on all zero.
const uint8_t kScanGrid[] = {
    0x00, 0xC3, 0x00, 0xBF, 0xBD, 0xBB, 0xBC, 0xD8, 0x00, 0xC4, 0xC2, 0xC0, 0xBE, 0x8F, 0xA9, 0x00,  // 00
    0x00, 0xB8, 0xAA, 0x00, 0x9D, 0x90, 0x82, 0x00, 0x00, 0x00, 0xAC, 0x9F, 0x9E, 0x91, 0x83, 0xDB,  // 10
    0x00, 0xAE, 0xAD, 0xA0, 0x92, 0x85, 0x84, 0xDC, 0x00, 0xB9, 0xAF, 0xA1, 0x94, 0x93, 0x86, 0xDD,  // 20
    0x00, 0xB1, 0xB0, 0xA3, 0xA2, 0x95, 0x87, 0x00, 0x00, 0x00, 0xB2, 0xA4, 0x96, 0x88, 0x89, 0x00,  // 30
    0x00, 0xB3, 0xA5, 0x97, 0x98, 0x8B, 0x8A, 0x00, 0x00, 0xB4, 0xB5, 0xA6, 0xA7, 0x99, 0x8C, 0x00,  // 40
    0x00, 0x00, 0xA8, 0x00, 0x9A, 0x8D, 0x00, 0x00, 0xBA, 0xB6, 0x9C, 0x9B, 0x00, 0xAB, 0x00, 0x00,  // 50
    0x00, 0x56, 0x00, 0x00, 0x00, 0x00, 0x8E, 0x00, 0x00, 0xCF, 0x00, 0xCB, 0xC7, 0x00, 0x00, 0x00,  // 60
    0xD2, 0xD3, 0xD0, 0xCC, 0xCD, 0xC8, 0x81, 0xC5, 0xD7, 0xCE, 0xD1, 0xCA, 0xB7, 0xC9, 0xC6, 0x00,  // 70
    0x00, 0x00, 0x00, 0xC1, 0x00, 0x00, 0x00, 0x00,                                                  // 80
};
static_assert(sizeof kScanGrid == 0x88, "one entry for each code 00-87");

TEST_F(KeyboardTables, ScanTableMatchesKeyGrid) {
    // Every code through the driver's own path, released so no key stays down:
    // the release carries the make code, the grid's break code without bit 7.
    // From E0 on (the prefixes among them) no code has a key of its own.
    for (unsigned code = 0; code < 256; ++code) {
        SCOPED_TRACE(testing::Message() << "set-2 code " << std::hex << code);
        platform.calls.clear();
        driver.InjectScanCode(0xF0);
        driver.InjectScanCode(static_cast<uint16_t>(code));
        ASSERT_EQ(code < 0xE0 ? 1u : 0u, platform.calls.size());
        if (code >= 0xE0) continue;
        EXPECT_EQ((code < 0x88 ? kScanGrid[code] : 0) & 0x7F, platform.calls[0].input.ki.wScan);
        EXPECT_EQ(0x0Au, platform.calls[0].input.ki.dwFlags);
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
    CBrailleSampleDriver driver;  // real keystroke synthesis

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
    ASSERT_TRUE(TypeAndCollect([this] { driver.TypeCharacter('A'); }, 5)) << Describe(g_received);
    EXPECT_EQ("down:10 down:41 char:41 up:41 up:10 ", Describe(g_received));

    g_received.clear();
    ASSERT_TRUE(TypeAndCollect(
        [this] {
            driver.TypeCharacter('b');
            driver.TypeCharacter(256);  // Enter
        },
        6))
        << Describe(g_received);
    EXPECT_EQ("down:42 char:62 up:42 down:D char:D up:D ", Describe(g_received));
    // A navigation key arrives as the extended key a real keyboard sends.
    g_received.clear();
    ASSERT_TRUE(TypeAndCollect([this] { driver.TypeCharacter(257); }, 2)) << Describe(g_received);
    EXPECT_EQ("down:26 up:26 ", Describe(g_received));
    EXPECT_EQ("down:48/ext up:48/ext/up ", Describe(g_received, true));
}

TEST_F(KeyboardEndToEnd, ScanCodesReachFocusedWindowWithScanCodeInLParam) {
    ASSERT_EQ(window, GetFocus());
    ASSERT_TRUE(TypeAndCollect(
        [this] {
            for (uint16_t c : {0x1C, 0xF0, 0x1C}) driver.InjectScanCode(c);              // A press, release
            for (uint16_t c : {0xE0, 0x75, 0xE0, 0xF0, 0x75}) driver.InjectScanCode(c);  // Up arrow (extended)
        },
        4))
        << Describe(g_received);
    // A release carries the make code (the whole scan-code byte) and the
    // key-up transition, as Windows reports a real key's release.
    EXPECT_EQ("down:1E up:1E/up down:48/ext up:48/ext/up ", Describe(g_received, true));
}

}  // namespace
