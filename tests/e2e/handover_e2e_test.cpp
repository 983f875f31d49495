// The port handover with everything real: the DLL's own worker serves the
// section, handover.exe borrows the port from another process, and the
// simulated display sits on the far end of a virtual cable.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "brailledriver.h"
#include "display_sim.h"
#include "support/child_process.h"
#include "support/dll_on_cable.h"
#include "support/test_env.h"

namespace {

// The DLL's driver started on cable 0 with the simulated display at the far end.
class HandoverEndToEnd : public testenv::DllOnCable {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(DllOnCable::SetUp());
        ASSERT_TRUE(Start());
        ASSERT_TRUE(display.WaitForIdentifyDone(1, 3000));
    }
    // Starts handover.exe with the arguments and waits until it says it has the port.
    static ::testing::AssertionResult Borrowed(testenv::CChildProcess& tool, const std::string& args) {
        if (tool.Start(testenv::BesideMe("handover.exe"), args))
            testenv::WaitUntil([&] { return tool.Says("port borrowed") || tool.Ended(); }, 10000);
        if (tool.Says("port borrowed")) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << tool.Output();
    }
};

TEST_F(HandoverEndToEnd, AnotherProgramBorrowsThePortAndGivesItBack) {
    const uint32_t requestsBefore = display.GetCounters().identifyRequests;

    testenv::CChildProcess tool;
    // A generous wait for each answer: a loaded machine may take the port back slowly.
    ASSERT_TRUE(Borrowed(tool, "--hold 800 --timeout 15000"));

    // While the port is lent the driver sends nothing, host writes included.
    const uint32_t framesLent = display.GetCounters().framesReceived;
    const std::vector<uint8_t> meanwhile(40, 0x07);
    EXPECT_EQ(1, driver->WriteTextCells(meanwhile.data(), 40));
    EXPECT_FALSE(testenv::WaitUntil([&] { return display.GetCounters().framesReceived != framesLent; }, 400));

    ASSERT_TRUE(testenv::WaitUntil([&] { return tool.Ended(); }, 20000)) << tool.Output();
    EXPECT_EQ(0u, tool.ExitCode()) << tool.Output();
    const std::string port = std::to_string(std::atoi(cable.driverEnd.c_str() + 3));
    EXPECT_TRUE(tool.Says("driver port number: " + port)) << tool.Output();
    EXPECT_TRUE(tool.Says("version values 5 and 7")) << tool.Output();
    EXPECT_TRUE(tool.Says("the driver has the port again (word " + port + ")")) << tool.Output();

    // Given back: the display is identified again and shows what the host
    // wrote meanwhile, then the host's next text.
    EXPECT_TRUE(display.WaitForIdentifyRequests(requestsBefore + 1, 3000));
    EXPECT_TRUE(Shows(meanwhile)) << display.RenderLine();
    const std::vector<uint8_t> text = testenv::Pattern(0x11);
    EXPECT_EQ(1, driver->WriteTextCells(text.data(), 40));
    EXPECT_TRUE(Shows(text)) << display.RenderLine();
}

// The host stops the driver while the port is lent. A new start while the
// port is still lent fails; once the other program has given the port back, a
// new start opens it again and answers the restore it wrote meanwhile.
TEST_F(HandoverEndToEnd, StopDuringALendDoesNotBlockTheNextStart) {
    testenv::CChildProcess tool;
    ASSERT_TRUE(Borrowed(tool, "--hold 1500 --timeout 500"));
    driver->Terminate();
    // Still lent: a new start leaves the port to its borrower.
    EXPECT_EQ(0, driver->Initialize(cable.driverEnd.c_str(), &host, "", ""));
    // Nobody answers the restore while the driver is stopped.
    ASSERT_TRUE(testenv::WaitUntil([&] { return tool.Ended(); }, 10000)) << tool.Output();
    EXPECT_TRUE(tool.Says("giving the port back")) << tool.Output();

    const uint32_t requestsBefore = display.GetCounters().identifyRequests;
    ASSERT_EQ(1, driver->Initialize(cable.driverEnd.c_str(), &host, "", ""));
    EXPECT_TRUE(display.WaitForIdentifyRequests(requestsBefore + 1, 3000));
    // The restore was taken and the section let go: with the tool gone too,
    // nothing holds it any more.
    HANDLE section = OpenFileMappingA(FILE_MAP_READ, FALSE, "tq715sharemem");
    EXPECT_EQ(nullptr, section);
    if (section) CloseHandle(section);
    std::vector<uint8_t> text(40, 0x2A);
    EXPECT_EQ(1, driver->WriteTextCells(text.data(), 40));
    EXPECT_TRUE(Shows(text)) << display.RenderLine();
}

}  // namespace
