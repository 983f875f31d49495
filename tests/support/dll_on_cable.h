// A fixture for tests of the loaded DLL: the driver as a host gets it, the
// simulated display on the far end of a virtual cable (both ends free and
// quiet at the start), and a recording host. The driver is stopped and the
// display closed after each test; host calls can be timed against generous
// bounds. Header only: it needs GoogleTest.
#ifndef BRL_DLL_ON_CABLE_H
#define BRL_DLL_ON_CABLE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "display_sim.h"
#include "support/driver_dll.h"
#include "support/probes.h"
#include "support/recording_host.h"
#include "support/test_env.h"

namespace testenv {

class DllOnCable : public ::testing::Test {
protected:
    explicit DllOnCable(size_t cableIndex = 0) : cableIndex(cableIndex) {}
    void SetUp() override {
        probes::InstallFaultReporter();  // a fault in the DLL says what it touched
        ASSERT_CABLE(cable, cableIndex);
        driver = LoadDriver();
        ASSERT_NE(nullptr, driver);
        ASSERT_TRUE(display.Open(cable.displayEnd.c_str()));
    }
    void TearDown() override {
        if (driver) driver->Terminate();
        display.Close();
        if (slowestWrite + slowestWait > 0)
            std::printf("[ bounds   ] slowest write call %.1f ms, slowest waiting call %.1f ms\n", slowestWrite,
                        slowestWait);
    }
    // Initialize on the cable with this host.
    bool Start(const char* text1 = "", const char* text2 = "") {
        return driver->Initialize(cable.driverEnd.c_str(), &host, text1, text2) == 1;
    }
    // Generous bounds on how long a host call may take on a loaded test machine.
    static constexpr double kWriteCallBoundMs = 1000;     // the writes only queue a command
    static constexpr double kWaitingCallBoundMs = 15000;  // Initialize, Suspend, Terminate wait for the worker
    // Runs a host call, checks that it kept its bound, notes the slowest of each
    // kind, and returns how long it took.
    template <typename F>
    double Call(const char* name, double bound, F&& call) {
        const double ms = probes::Timed(call);
        EXPECT_LT(ms, bound) << name << " took " << ms << " ms";
        double& slowest = bound == kWriteCallBoundMs ? slowestWrite : slowestWait;
        slowest = std::max(slowest, ms);
        return ms;
    }
    // True once the display shows these host text cells.
    bool Shows(const std::vector<uint8_t>& cells, DWORD ms = 3000) {
        return display.WaitFor([&] { return display.HostTextCells() == cells; }, ms);
    }

    const size_t cableIndex;
    Cable cable;
    IBrailleDriver* driver = nullptr;
    sim::CSimDisplay display;
    CRecordingHost host;
    double slowestWrite = 0, slowestWait = 0;
};

}  // namespace testenv

#endif
