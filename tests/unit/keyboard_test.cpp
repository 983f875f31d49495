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
    enum Kind { Key, Input, Data } kind;
    explicit Call(Kind k, BYTE key = 0, BYTE scanCode = 0, DWORD keyFlags = 0, ULONG_PTR extraInfo = 0)
        : kind(k), vk(key), scan(scanCode), flags(keyFlags), extra(extraInfo) {}
    BYTE vk;
    BYTE scan;
    DWORD flags;
    ULONG_PTR extra;
    UINT count = 0;
    int size = 0;
    INPUT input = {};
    std::vector<uint8_t> bytes;
};

class CRecordingPlatform : public IPlatform {
public:
    std::map<uint8_t, SHORT> layout;  // characters the layout has a key for
    std::vector<uint8_t> scanned;     // characters handed to VkKeyScanExA
    std::vector<HKL> layoutsUsed;     // the layout of each of those calls
    std::vector<Call> calls;
    DWORD tick = 0;
    DWORD foregroundThread = 0;
    std::map<DWORD, HKL> threadLayouts;  // thread 0 is the worker itself

    DWORD ForegroundThread() override { return foregroundThread; }
    HKL GetKeyboardLayout(DWORD thread) override {
        auto it = threadLayouts.find(thread);
        return it == threadLayouts.end() ? nullptr : it->second;
    }
    UINT MapVirtualKeyA(UINT code, UINT mapType) override {
        return mapType == MAPVK_VK_TO_VSC ? 0x100 | (code & 0xFF) : 0;  // 0x100 must not reach the byte
    }
    SHORT VkKeyScanExA(CHAR c, HKL layoutUsed) override {
        uint8_t b = static_cast<uint8_t>(c);
        scanned.push_back(b);
        layoutsUsed.push_back(layoutUsed);
        auto it = layout.find(b);
        return it == layout.end() ? static_cast<SHORT>(-1) : it->second;
    }
    void KeybdEvent(BYTE vk, BYTE scan, DWORD flags, ULONG_PTR extra) override {
        calls.emplace_back(Call::Key, vk, scan, flags, extra);
    }
    UINT SendInputs(UINT count, INPUT* inputs, int size) override {
        Call c{Call::Input};
        c.count = count;
        c.size = size;
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

// Key events as "vk+" (down) and "vk-" (up), hex, for readable comparisons.
std::string KeySequence(const std::vector<Call>& calls) {
    std::ostringstream out;
    for (const Call& c : calls) {
        if (c.kind != Call::Key) {
            out << "? ";
            continue;
        }
        out << std::hex << std::uppercase << int(c.vk) << ((c.flags & KEYEVENTF_KEYUP) ? "-" : "+") << " ";
    }
    return out.str();
}

class KeyboardTypeCharacter : public ::testing::Test {
protected:
    CRecordingPlatform platform;
    CBrailleSampleDriver driver{platform};
};
using KeyboardTables = KeyboardTypeCharacter;

// Modifiers press first and release in press order; high bits other than the
// modifiers (Hankaku, reserved) are ignored; no key in the layout, no press.
TEST_F(KeyboardTypeCharacter, LayoutAnswerGivesModifiersAndKey) {
    const struct {
        uint8_t character;
        SHORT scan;  // what the layout answers
        const char* keys;
    } cases[] = {
        {'A', 0x0141, "10+ 41+ 41- 10- "},                  // Shift + A
        {'@', 0x0632, "11+ 12+ 32+ 32- 11- 12- "},          // Ctrl + Alt + 2 (AltGr layouts)
        {'x', 0x0758, "10+ 11+ 12+ 58+ 58- 10- 11- 12- "},  // all three
        {'a', 0x0041, "41+ 41- "},
        {'k', 0x384B, "4B+ 4B- "},
        {'q', -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        platform.calls.clear();
        platform.scanned.clear();
        platform.layout[c.character] = c.scan;
        driver.TypeCharacter(c.character);
        EXPECT_EQ(c.keys, KeySequence(platform.calls));
        EXPECT_EQ(std::vector<uint8_t>{c.character}, platform.scanned);
        for (const Call& k : platform.calls) {
            EXPECT_EQ(0, k.scan);
            EXPECT_EQ(0u, k.extra);
            EXPECT_TRUE(k.flags == 0 || k.flags == KEYEVENTF_KEYUP);
        }
    }
}

TEST_F(KeyboardTypeCharacter, CodePage437IsTranslatedBeforeLayoutLookup) {
    platform.layout[0xE9] = 0x00DE;
    driver.TypeCharacter(0x82);  // é
    driver.TypeCharacter(0x9E);  // no 1252 counterpart
    driver.TypeCharacter(0xF8);  // °
    driver.TypeCharacter(0x7F);  // ASCII passes unchanged
    EXPECT_EQ((std::vector<uint8_t>{0xE9, 0x90, 0xB0, 0x7F}), platform.scanned);
    EXPECT_EQ("DE+ DE- ", KeySequence(platform.calls));
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
    for (const auto& c : cases) {
        platform.calls.clear();
        driver.TypeCharacter(c.code);
        EXPECT_EQ(c.keys, KeySequence(platform.calls)) << "code " << c.code;
        // Navigation keys are extended keys with their scan code, as a real
        // keyboard sends them; the others and the modifiers carry neither.
        const bool navigation = c.code >= 257 && c.code <= 266;
        for (const Call& k : platform.calls) {
            const bool modifier = k.vk == VK_SHIFT || k.vk == VK_CONTROL || k.vk == VK_MENU;
            const bool extended = navigation && !modifier;
            EXPECT_EQ(extended ? KEYEVENTF_EXTENDEDKEY : 0u, k.flags & ~static_cast<DWORD>(KEYEVENTF_KEYUP))
                << "code " << c.code;
            EXPECT_EQ(extended ? k.vk : 0, k.scan) << "code " << c.code;
        }
    }
    EXPECT_TRUE(platform.scanned.empty());
}

TEST_F(KeyboardTypeCharacter, CharactersUseTheForegroundWindowsLayout) {
    HKL worker = reinterpret_cast<HKL>(0x04090409);
    HKL foreground = reinterpret_cast<HKL>(0x04070407);
    platform.threadLayouts[0] = worker;
    platform.threadLayouts[77] = foreground;
    platform.foregroundThread = 77;
    driver.TypeCharacter('z');
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

TEST_F(KeyboardTables, CodePage437MapsToSameCharacterIn1252) {
    // The characters of code page 437 that Windows-1252 also has.
    const std::pair<uint8_t, uint8_t> mapped[] = {
        {0x80, 0xC7}, {0x81, 0xFC}, {0x82, 0xE9}, {0x83, 0xE2}, {0x84, 0xE4}, {0x85, 0xE0}, {0x86, 0xE5}, {0x87, 0xE7},
        {0x88, 0xEA}, {0x89, 0xEB}, {0x8A, 0xE8}, {0x8B, 0xEF}, {0x8C, 0xEE}, {0x8D, 0xEC}, {0x8E, 0xC4}, {0x8F, 0xC5},
        {0x90, 0xC9}, {0x91, 0xE6}, {0x92, 0xC6}, {0x93, 0xF4}, {0x94, 0xF6}, {0x95, 0xF2}, {0x96, 0xFB}, {0x97, 0xF9},
        {0x98, 0xFF}, {0x99, 0xD6}, {0x9A, 0xDC}, {0x9B, 0xA2}, {0x9C, 0xA3}, {0x9D, 0xA5}, {0x9F, 0x83}, {0xA0, 0xE1},
        {0xA1, 0xED}, {0xA2, 0xF3}, {0xA3, 0xFA}, {0xA4, 0xF1}, {0xA5, 0xD1}, {0xA6, 0xAA}, {0xA7, 0xBA}, {0xA8, 0xBF},
        {0xAA, 0xAC}, {0xAB, 0xBD}, {0xAC, 0xBC}, {0xAD, 0xA1}, {0xAE, 0xAB}, {0xAF, 0xBB}, {0xF1, 0xB1}, {0xF8, 0xB0},
    };
    ASSERT_EQ(48u, sizeof mapped / sizeof mapped[0]);
    std::vector<unsigned> expected(128, 0x90);
    for (const auto& m : mapped) expected[m.first - 0x80] = m.second;
    // Through the driver's own path: the character handed to the layout lookup.
    for (unsigned i = 0; i < 128; ++i) driver.TypeCharacter(static_cast<uint16_t>(0x80 + i));
    ASSERT_EQ(128u, platform.scanned.size());
    for (unsigned i = 0; i < 128; ++i)
        EXPECT_EQ(expected[i], platform.scanned[i]) << "CP437 " << std::hex << (i + 0x80);
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
