// A fixture for tests of the loaded DLL: the driver as a host gets it, the
// simulated display on the far end of a virtual cable (both ends free and
// quiet at the start), and a recording host. The driver is stopped and the
// display closed after each test. Header only: it needs GoogleTest.
#ifndef BRL_DLL_ON_CABLE_H
#define BRL_DLL_ON_CABLE_H

#include <gtest/gtest.h>

#include <cstdint>
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
    }
    // Initialize on the cable with this host.
    bool Start(const char* text1 = "", const char* text2 = "") {
        return driver->Initialize(cable.driverEnd.c_str(), &host, text1, text2) == 1;
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
};

}  // namespace testenv

#endif
