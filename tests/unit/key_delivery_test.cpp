// Key events from the worker's side to the host's OnKey: names and values,
// the alternate routing mode, dropping without a window, SetHost and the key
// window procedure. Deliveries are made on a second thread, as the worker
// makes them; this thread owns the key window and pumps its messages.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver/driver.h"
#include "support/recording_host.h"
#include "support/test_env.h"

namespace {

using testenv::CRecordingHost;
using KeyEvent = CRecordingHost::Key;

// Posted after a batch of deliveries; everything before it has been dispatched
// once it arrives, since a window's posted messages keep their order.
const char kEnd[] = "END";

using Expected = std::vector<std::pair<std::string, int32_t>>;

class KeyDelivery : public ::testing::Test {
protected:
    void SetUp() override {
        driver.RegisterKeyWindowClass(ModuleInstance());
        driver.keyWindow = driver.CreateKeyWindow(ModuleInstance());
        ASSERT_NE(nullptr, driver.keyWindow);
        driver.SetHost(&host);
    }
    void TearDown() override {
        if (driver.keyWindow) DestroyWindow(driver.keyWindow);
        driver.keyWindow = nullptr;
    }

    // Runs the deliveries on another thread, then posts the end marker from it.
    void FromWorker(const std::function<void()>& deliveries) {
        std::thread worker([&] {
            deliveries();
            driver.PostKeyEvent(kEnd, 0);
        });
        worker.join();
    }

    // Pumps until the end marker arrived; returns the keys before it as (name, value).
    Expected Collect() {
        bool ended = testenv::WaitUntil(
            [&] {
                std::vector<KeyEvent> keys = host.Keys();
                return !keys.empty() && keys.back().name == kEnd;
            },
            5000);
        EXPECT_TRUE(ended) << "the end marker never arrived";
        Expected got;
        for (const KeyEvent& key : host.Keys())
            if (key.name != kEnd) got.emplace_back(key.name, key.value);
        host.Clear();
        return got;
    }

    // The serial link's routing codes, or the codes of another delivery.
    Expected RoutingKeys(const std::vector<uint8_t>& codes,
                         void (CBrailleSampleDriver::*deliver)(uint8_t) = &CBrailleSampleDriver::DeliverRoutingKey) {
        FromWorker([&] {
            for (uint8_t code : codes) (driver.*deliver)(code);
        });
        return Collect();
    }
    Expected HidRoutingKeys(const std::vector<uint8_t>& codes) {
        return RoutingKeys(codes, &CBrailleSampleDriver::DeliverHidRoutingKey);
    }
    Expected FunctionKeys(const std::vector<uint8_t>& codes) {
        return RoutingKeys(codes, &CBrailleSampleDriver::DeliverFunctionKey);
    }

    void SetAlternate(bool on) { EXPECT_TRUE(FunctionKeys({static_cast<uint8_t>(on ? 63 : 64)}).empty()); }

    CBrailleSampleDriver driver;
    CRecordingHost host;
};

TEST_F(KeyDelivery, EveryFunctionKeyCodeHasItsNameOrNone) {
    // Codes 1..64 in table order; codes 15, 16, 31, 32, 47, 48, 63 and 64 are empty.
    const Expected expected = {
        {"F1", 0},   {"F2", 0},   {"F3", 0},   {"F4", 0},    {"F5", 0},   {"F6", 0},   {"F7", 0},   {"F8", 0},
        {"F9", 0},   {"F10", 0},  {"LF", 0},   {"UP", 0},    {"RG", 0},   {"DN", 0},   {"SF1", 0},  {"SF2", 0},
        {"SF3", 0},  {"SF4", 0},  {"SF5", 0},  {"SF6", 0},   {"SF7", 0},  {"SF8", 0},  {"SF9", 0},  {"SF10", 0},
        {"SLF", 0},  {"SUP", 0},  {"SRG", 0},  {"SDN", 0},   {"LF1", 0},  {"LF2", 0},  {"LF3", 0},  {"LF4", 0},
        {"LF5", 0},  {"LF6", 0},  {"LF7", 0},  {"LF8", 0},   {"LF9", 0},  {"LF10", 0}, {"LLF", 0},  {"LUP", 0},
        {"LRG", 0},  {"LDN", 0},  {"SLF1", 0}, {"SLF2", 0},  {"SLF3", 0}, {"SLF4", 0}, {"SLF5", 0}, {"SLF6", 0},
        {"SLF7", 0}, {"SLF8", 0}, {"SLF9", 0}, {"SLF10", 0}, {"SLLF", 0}, {"SLUP", 0}, {"SLRG", 0}, {"SLDN", 0},
    };
    std::vector<uint8_t> codes(256);
    std::iota(codes.begin(), codes.end(), 0);  // 0 and 65-255 lie outside the table: nothing
    EXPECT_EQ(expected, FunctionKeys(codes));
    // The names the header gives hosts are the ones delivered, in the same order.
    const char* const published[BRL_FUNCTION_KEY_COUNT] = BRL_FUNCTION_KEY_NAMES;
    ASSERT_EQ(expected.size(), static_cast<size_t>(BRL_FUNCTION_KEY_COUNT));
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(expected[i].first, published[i]) << i;
}

TEST_F(KeyDelivery, CodesSixtyThreeAndSixtyFourSwitchTheRoutingNames) {
    EXPECT_EQ((Expected{{"Routing", 1}}), RoutingKeys({3}));
    SetAlternate(true);
    EXPECT_EQ((Expected{{"Routing2", 1}}), RoutingKeys({3}));
    // Codes above 64 change nothing, also those whose low bits read 63 or 64.
    EXPECT_TRUE(FunctionKeys({65, 127, 128, 191, 192, 255}).empty());
    EXPECT_EQ((Expected{{"Routing2", 1}}), RoutingKeys({3}));
    SetAlternate(false);
    EXPECT_TRUE(FunctionKeys({0, 65, 127, 191, 255}).empty());
    EXPECT_EQ((Expected{{"Routing", 1}}), RoutingKeys({3}));
}

TEST_F(KeyDelivery, ModeSwitchesWithoutAHost) {
    driver.SetHost(nullptr);
    FromWorker([&] {
        driver.DeliverFunctionKey(63);
        driver.DeliverFunctionKey(1);  // no host: no event
        driver.DeliverRoutingKey(3);
        driver.DeliverHidRoutingKey(5);
    });
    // The end marker reaches the window too; with no host nothing at all is called.
    testenv::Pump(100);
    EXPECT_TRUE(host.Keys().empty());
    driver.SetHost(&host);
    EXPECT_EQ((Expected{{"Routing2", 1}}), RoutingKeys({3}));
}

TEST_F(KeyDelivery, SerialRoutingAndStatusKeys) {
    // For the codes 0, 1, 2, 3, 40, 7F, 80, 81, 82, 83, FF:
    const Expected normal = {{"Routing", -2}, {"STATUS1", 0},   {"STATUS2", 0},   {"Routing", 1},
                             {"Routing", 38}, {"Routing", 125}, {"Routing2", -2}, {"STATUS3", 0},
                             {"STATUS4", 0},  {"Routing2", 1},  {"Routing2", 125}};
    EXPECT_EQ(normal, RoutingKeys({0, 1, 2, 3, 40, 0x7F, 0x80, 0x81, 0x82, 0x83, 0xFF}));
    SetAlternate(true);
    // For the codes 0, 1, 2, 3, 7F, 80, 81, 82, 83:
    const Expected alternate = {{"Routing2", -2}, {"STATUS3", 0}, {"STATUS4", 0}, {"Routing2", 1}, {"Routing2", 125},
                                {"Routing2", -2}, {"STATUS3", 0}, {"STATUS4", 0}, {"Routing2", 1}};
    EXPECT_EQ(alternate, RoutingKeys({0, 1, 2, 3, 0x7F, 0x80, 0x81, 0x82, 0x83}));
}

TEST_F(KeyDelivery, HidRoutingKeysCarryTheirCode) {
    EXPECT_EQ((Expected{{"Routing", 0}, {"Routing", 1}, {"Routing", 5}, {"Routing", 127}}),
              HidRoutingKeys({0, 1, 0x80, 5, 0x85, 127, 0xFF}));
    SetAlternate(true);
    EXPECT_EQ((Expected{{"Routing2", 2}, {"Routing2", 5}}), HidRoutingKeys({2, 0x85, 5}));
}

TEST_F(KeyDelivery, OnKeyRunsOnTheWindowThreadWithTheDriver) {
    FromWorker([&] { driver.DeliverFunctionKey(14); });
    ASSERT_TRUE(testenv::WaitUntil([&] { return host.Keys().size() == 2; }, 5000));
    KeyEvent key = host.Keys()[0];
    EXPECT_EQ("DN", key.name);
    EXPECT_EQ(static_cast<IBrailleDriver*>(&driver), key.driver);
    EXPECT_EQ(GetCurrentThreadId(), key.thread);
}

TEST_F(KeyDelivery, ManyKeysArriveInPostingOrder) {
    Expected expected;
    FromWorker([&] {
        for (int i = 0; i < 300; ++i) {
            driver.DeliverRoutingKey(static_cast<uint8_t>(3 + i % 120));
            expected.emplace_back("Routing", 1 + i % 120);
            if (i % 7 != 0) continue;
            driver.DeliverFunctionKey(1);
            expected.emplace_back("F1", 0);
        }
    });
    EXPECT_EQ(expected, Collect());
}

TEST_F(KeyDelivery, KeysAreDroppedWhileNoWindowExists) {
    // Posted but not yet dispatched when the window goes: lost with it.
    FromWorker([&] { driver.DeliverFunctionKey(1); });
    HWND old = driver.keyWindow;
    DestroyWindow(old);
    driver.keyWindow = nullptr;
    // No window at all: dropped at once, nothing lands in any queue.
    std::thread worker([&] {
        driver.DeliverFunctionKey(2);
        driver.DeliverRoutingKey(3);
        driver.DeliverHidRoutingKey(4);
        MSG msg;
        EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) << msg.message;
    });
    worker.join();
    driver.keyWindow = driver.CreateKeyWindow(ModuleInstance());
    ASSERT_NE(nullptr, driver.keyWindow);
    EXPECT_EQ((Expected{{"F3", 0}}), FunctionKeys({3}));
}

TEST_F(KeyDelivery, SetHostRedirectsKeysStillQueued) {
    CRecordingHost other;
    FromWorker([&] { driver.DeliverFunctionKey(5); });
    // Not dispatched yet: the key goes to whoever is host at dispatch time.
    EXPECT_EQ(&host, driver.SetHost(&other));
    ASSERT_TRUE(testenv::WaitUntil([&] { return other.Keys().size() == 2; }, 5000));
    EXPECT_EQ("F5", other.Keys()[0].name);
    EXPECT_TRUE(host.Keys().empty());
    // Taken away before dispatch: nobody is called.
    FromWorker([&] { driver.DeliverFunctionKey(6); });
    EXPECT_EQ(&other, driver.SetHost(nullptr));
    testenv::Pump(100);
    EXPECT_EQ(2u, other.Keys().size());
    EXPECT_TRUE(host.Keys().empty());
}

TEST_F(KeyDelivery, WindowProcedureCallsOnKeyOnlyForItsOwnKeyEvents) {
    HWND window = driver.keyWindow;
    auto send = [](HWND to, const char* name, LPARAM value) {
        return SendMessageA(to, WM_BRAILLE_KEY, reinterpret_cast<WPARAM>(name), value);
    };
    // The value reaching the host is the low 32 bits of lParam; above them the
    // suspension epoch the key was read in, and a key of another epoch is dropped.
    EXPECT_EQ(0, send(window, "F1", static_cast<LPARAM>(1LL << 32)));
    EXPECT_EQ(0, send(window, "RG", 5));
    EXPECT_EQ(0, send(window, "UP", static_cast<LPARAM>(0xFFFFFFFEu)));
    // No name or an empty name: nothing.
    EXPECT_EQ(0, send(window, nullptr, 7));
    EXPECT_EQ(0, send(window, "", 7));
    EXPECT_EQ((Expected{{"RG", 5}, {"UP", -2}}), host.KeyPairs());
    host.Clear();
    // Other messages go to the default procedure: a window text can be set and read.
    EXPECT_TRUE(SetWindowTextA(window, "key window"));
    char text[32] = {};
    EXPECT_EQ(10, GetWindowTextA(window, text, sizeof text));
    EXPECT_STREQ("key window", text);
    // Another window of the same class that is not the driver's key window.
    HWND other = driver.CreateKeyWindow(ModuleInstance());
    ASSERT_NE(nullptr, other);
    EXPECT_EQ(0, send(other, "F1", 0));
    EXPECT_TRUE(SetWindowTextA(other, "other"));
    EXPECT_EQ(5, GetWindowTextA(other, text, sizeof text));
    // A window of the class made without the driver's binding.
    HWND bare = CreateWindowExA(0, driver.className, nullptr, WS_DISABLED, 0, 0, 0, 0, nullptr, nullptr,
                                ModuleInstance(), nullptr);
    ASSERT_NE(nullptr, bare);
    EXPECT_EQ(0, send(bare, "F1", 0));
    DestroyWindow(bare);
    DestroyWindow(other);
    EXPECT_TRUE(host.Keys().empty());
}

TEST_F(KeyDelivery, KeyWindowIsHiddenAndDisabled) {
    HWND window = driver.keyWindow;
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_FALSE(IsWindowEnabled(window));
    EXPECT_EQ(nullptr, GetParent(window));
    char name[16] = {};
    GetClassNameA(window, name, sizeof name);
    EXPECT_STREQ("KVR", name);
    // Registering again fails but the class stays usable.
    EXPECT_EQ(0, driver.RegisterKeyWindowClass(ModuleInstance()));
    HWND second = driver.CreateKeyWindow(ModuleInstance());
    EXPECT_NE(nullptr, second);
    DestroyWindow(second);
}

}  // namespace
