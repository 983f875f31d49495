// Keys pressed on the display reaching the host's OnKey: names and values, the
// alternate routing names, SetHost and the key window, as the host sees them.
// The simulated USB display presses the keys (the serial display's routing and
// status keys: integration/driver_host_cable_test.cpp).
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/driver_on_bus.h"

namespace {

class KeyDelivery : public testenv::DriverOnBus {
protected:
    void SetUp() override {
        DriverOnBus::SetUp();
        ASSERT_EQ(1, Start());
    }
    // The keys the host gets for these reports; `count` of them are expected.
    Keys Pressed(uint8_t kind, const std::vector<uint8_t>& codes, size_t count) {
        Press(kind, codes);
        return KeysAfter(count);
    }
    void SetAlternate(bool on) {
        EXPECT_TRUE(Pressed(kFunctionReport, {static_cast<uint8_t>(on ? 63 : 64)}, 0).empty());
    }
};

// Every code 0..255: the names the header gives hosts, in its order, each once
// and only for its code; OnKey runs on this thread with this driver.
TEST_F(KeyDelivery, EveryFunctionKeyCodeHasItsNameOrNone) {
    std::vector<uint8_t> codes(256);
    for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint8_t>(i);
    const char* const published[BRL_FUNCTION_KEY_COUNT] = BRL_FUNCTION_KEY_NAMES;
    Keys expected;
    for (const char* name : published) expected.emplace_back(name, 0);
    Press(kFunctionReport, codes);
    ASSERT_TRUE(testenv::WaitUntil([&] { return host.KeyCount() >= expected.size(); }, 5000));
    for (const auto& key : host.Keys()) {
        EXPECT_EQ(static_cast<IBrailleDriver*>(&driver), key.driver);
        EXPECT_EQ(GetCurrentThreadId(), key.thread);
    }
    EXPECT_EQ(expected, KeysAfter(expected.size()));
    // Anchors: each group of 16 codes starts with F1 and has two empty codes at its end.
    const std::pair<uint8_t, const char*> anchors[] = {{1, "F1"},   {14, "DN"},   {17, "SF1"}, {30, "SDN"},
                                                       {33, "LF1"}, {49, "SLF1"}, {62, "SLDN"}};
    for (const auto& [code, name] : anchors)
        EXPECT_EQ((Keys{{name, 0}}), Pressed(kFunctionReport, {code}, 1)) << int(code);
    EXPECT_TRUE(Pressed(kFunctionReport, {0, 15, 16, 31, 32, 47, 48, 63, 64, 65, 255}, 0).empty());
}

// USB routing keys carry their cell (codes from 0x80 are none); F63 switches
// them to the second row's name, F64 back, and no code above 64 does either,
// not even those whose low bits read 63 or 64.
TEST_F(KeyDelivery, FunctionKeys63And64SwitchTheRoutingRow) {
    EXPECT_EQ((Keys{{"Routing", 0}, {"Routing", 1}, {"Routing", 5}, {"Routing", 127}}),
              Pressed(kRoutingReport, {0, 1, 0x80, 5, 0x85, 127, 0xFF}, 4));
    SetAlternate(true);
    EXPECT_EQ((Keys{{"Routing2", 2}, {"Routing2", 5}}), Pressed(kRoutingReport, {2, 0x85, 5}, 2));
    EXPECT_TRUE(Pressed(kFunctionReport, {65, 127, 128, 191, 192, 255}, 0).empty());
    EXPECT_EQ((Keys{{"Routing2", 3}}), Pressed(kRoutingReport, {3}, 1));
    SetAlternate(false);
    EXPECT_TRUE(Pressed(kFunctionReport, {0, 65, 127, 191, 255}, 0).empty());
    EXPECT_EQ((Keys{{"Routing", 3}}), Pressed(kRoutingReport, {3}, 1));
    // Without a host nothing is called, and the switch still counts.
    EXPECT_EQ(&host, driver.SetHost(nullptr));
    Press(kFunctionReport, {63, 1});
    Press(kRoutingReport, {3});
    EXPECT_TRUE(KeysAfter(0).empty());
    driver.SetHost(&host);
    EXPECT_EQ((Keys{{"Routing2", 3}}), Pressed(kRoutingReport, {3}, 1));
}

TEST_F(KeyDelivery, ManyKeysArriveInTheOrderPressed) {
    std::vector<std::pair<uint8_t, uint8_t>> reports;
    Keys expected;
    for (int i = 0; i < 300; ++i) {
        reports.emplace_back(kRoutingReport, static_cast<uint8_t>(i % 120));
        expected.emplace_back("Routing", i % 120);
        if (i % 7 != 0) continue;
        reports.emplace_back(kFunctionReport, 1);
        expected.emplace_back("F1", 0);
    }
    Press(reports);
    EXPECT_EQ(expected, KeysAfter(expected.size()));
}

// A key read but not yet dispatched goes to whoever is host at dispatch time;
// taken away before it, nobody is called.
TEST_F(KeyDelivery, SetHostRedirectsKeysStillQueued) {
    auto readNotDispatched = [&](uint8_t code) {
        bus.QueueKey(device, kFunctionReport, code);
        MSG msg;
        for (int i = 0; i < 1000 && !PeekMessageA(&msg, KeyWindow(), 0, 0, PM_NOREMOVE); ++i) Sleep(5);
    };
    testenv::CRecordingHost other;
    readNotDispatched(5);
    EXPECT_EQ(&host, driver.SetHost(&other));
    ASSERT_TRUE(testenv::WaitUntil([&] { return other.KeyCount() == 1; }, 5000));
    EXPECT_EQ("F5", other.Keys()[0].name);
    readNotDispatched(6);
    EXPECT_EQ(&other, driver.SetHost(nullptr));
    testenv::Pump(200);
    EXPECT_EQ(1u, other.KeyCount());
    EXPECT_EQ(0u, host.KeyCount());
}

TEST_F(KeyDelivery, KeyWindowIsHiddenAndDisabled) {
    HWND window = KeyWindow();
    ASSERT_NE(nullptr, window);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_FALSE(IsWindowEnabled(window));
    EXPECT_EQ(nullptr, GetParent(window));
}

}  // namespace
