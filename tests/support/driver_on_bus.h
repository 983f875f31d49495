// A fixture for tests of a driver object made in the test, seen only as a host
// and the display see it: the simulated HID bus with one display (it answers
// the hello and acknowledges every frame), a recording host, the key window on
// this thread and the worker among the process's threads. The driver is
// stopped after each test. Header only: it needs GoogleTest.
#ifndef BRL_DRIVER_ON_BUS_H
#define BRL_DRIVER_ON_BUS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "driver/driver.h"
#include "support/fake_hid.h"
#include "support/probes.h"
#include "support/recording_host.h"
#include "support/test_env.h"

namespace testenv {

class DriverOnBus : public ::testing::Test {
protected:
    using Keys = std::vector<std::pair<std::string, int32_t>>;
    static constexpr uint8_t kRoutingReport = 0xFD, kFunctionReport = 0xFE;

    void SetUp() override {
        device = bus.AddDevice();
        { SCOPED_TRACE("GoogleTest's watcher thread for this thread starts here, not in the test"); }
        threadsBefore = probes::ThreadIds();
    }
    void TearDown() override { driver.Terminate(); }

    // Initialize on a port that does not exist: the USB display answers.
    int32_t Start(const char* text1 = "", const char* text2 = "") {
        return driver.Initialize("COM250", &host, text1, text2);
    }
    // The one key window on this thread; null when there is none or more than one.
    static HWND KeyWindow() {
        const std::vector<HWND> windows = KeyWindows();
        return windows.size() == 1 ? windows[0] : nullptr;
    }
    // Threads started since SetUp that still run: the worker while the driver runs.
    std::vector<DWORD> NewThreads() const {
        std::vector<DWORD> fresh;
        for (DWORD id : probes::ThreadIds())
            if (std::find(threadsBefore.begin(), threadsBefore.end(), id) == threadsBefore.end()) fresh.push_back(id);
        return fresh;
    }
    bool WorkerGone(DWORD ms = 5000) const {
        return WaitUntil([&] { return NewThreads().empty(); }, ms);
    }
    // Key reports from the display (kind, code), each batch read by the driver
    // before the next is queued (the bus keeps 32 reports per handle).
    void Press(const std::vector<std::pair<uint8_t, uint8_t>>& keys) {
        for (size_t i = 0; i < keys.size(); ++i) {
            bus.QueueKey(device, keys[i].first, keys[i].second);
            if (i % 16 != 15 && i + 1 != keys.size()) continue;
            ASSERT_TRUE(WaitUntil([&] { return bus.PendingInput(device) == 0; }, 5000)) << "reports not read";
        }
    }
    void Press(uint8_t kind, const std::vector<uint8_t>& codes) {
        std::vector<std::pair<uint8_t, uint8_t>> keys;
        for (uint8_t code : codes) keys.emplace_back(kind, code);
        Press(keys);
    }
    // The host's keys once it has `count` of them and a moment more has brought
    // no other; the record is cleared for the next batch.
    Keys KeysAfter(size_t count) {
        WaitUntil([&] { return host.KeyCount() >= count; }, 5000);
        Pump(150);
        Keys keys = host.KeyPairs();
        host.Clear();
        return keys;
    }
    // True once the display's newest frame starts with these host cells.
    bool Shows(const std::vector<uint8_t>& cells, DWORD ms = 3000) {
        return WaitUntil([&] { return bus.LastFrameShows(device, cells); }, ms);
    }

    CFakeHidPlatform bus;
    int device = 0;
    CBrailleSampleDriver driver{bus};
    CRecordingHost host;
    std::vector<DWORD> threadsBefore;
};

}  // namespace testenv

#endif
