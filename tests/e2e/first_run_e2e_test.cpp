// The console host's first-run check, run end to end against the simulated
// display: the test plays the person, pressing the display's keys and
// answering as each prompt asks.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "display_sim.h"
#include "support/child_process.h"
#include "support/test_env.h"

namespace {
// One run of the check as a person starts it: its report in the temporary
// folder, anything left from an earlier run gone. Under Wine the first window
// on a desktop starts the desktop's own process, which would inherit the
// check's output pipe and hold it open after the check ends: the desktop is
// made here first.
struct CCheckRun {
    explicit CCheckRun(const char* reportName) {
        char dir[MAX_PATH] = {};
        GetTempPathA(sizeof dir, dir);
        report = std::string(dir) + reportName;
        DeleteFileA(report.c_str());
        desktopUser = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    }
    ~CCheckRun() {
        if (desktopUser) DestroyWindow(desktopUser);
    }
    bool Start(testenv::CChildProcess& host, const std::string& port, bool answered) const {
        return host.Start(testenv::BesideMe("host.exe"), "--check " + port + " --report \"" + report + "\"", answered);
    }
    void ExpectReportSays(const std::vector<std::string>& lines) const {
        std::stringstream text;
        text << std::ifstream(report).rdbuf();
        const std::string written = text.str();
        for (const std::string& line : lines)
            EXPECT_NE(std::string::npos, written.find(line)) << line << "\n" << written;
    }
    std::string report;
    HWND desktopUser;
};
}  // namespace

TEST(FirstRunCheck, WalksEveryStepAgainstTheSimulatedDisplayAndWritesItsReport) {
    REQUIRE_CABLE(cable, 0);
    sim::CSimDisplay display;
    ASSERT_TRUE(display.Open(cable.displayEnd.c_str()));
    const CCheckRun run("first-run-report-test.txt");
    testenv::CChildProcess host;
    ASSERT_TRUE(run.Start(host, cable.driverEnd, true));
    size_t handled = 0;  // prompts answered so far
    // The person's part of each prompt, found by what the prompt says.
    auto respond = [&](const std::string& prompt) {
        // Two keys pressed; the answer once the check has heard the second.
        auto press = [&](bool routing, uint8_t first, uint8_t second, const char* last) {
            for (uint8_t key : {first, second}) routing ? display.PressRoutingKey(key) : display.PressFunctionKey(key);
            if (testenv::WaitUntil([&] { return host.Says(last); }, 5000)) host.Send("\n");
        };
        if (prompt.find("[y/n]") != std::string::npos) {
            host.Send("y\n");
        } else if (prompt.find("function keys") != std::string::npos) {
            press(false, 1, 10, "key F10 0");
        } else if (prompt.find("routing key") != std::string::npos) {
            press(true, 3, 42, "key Routing 40");
        } else if (prompt.find("status key") != std::string::npos) {
            press(true, 1, 2, "key STATUS2 0");
        } else if (prompt.find("type here") != std::string::npos) {
            // é (code page 437), Up, Escape; typed twice, the second time with Caps Lock on.
            for (uint16_t code : {uint16_t('H'), uint16_t('i'), uint16_t(0x82), uint16_t(257), uint16_t(269)})
                display.TypeCharacter(code);
        } else if (prompt.find("Unplug the display's cable") != std::string::npos ||
                   prompt.find("Switch the display off") != std::string::npos) {
            display.Close();
            host.Send("\n");
        } else if (prompt.find("Plug it back in") != std::string::npos) {
            // Judged by a key pressed once the driver has found the display again.
            display.ClearHistory();
            display.Open(cable.displayEnd.c_str());
            if (display.WaitForIdentifyDone(1, 10000)) display.PressFunctionKey(2);
            host.Send("\n");
        } else if (prompt.find("Switch the display on") != std::string::npos) {
            display.Open(cable.displayEnd.c_str());
            host.Send("\n");
        } else {
            host.Send("\n");
        }
    };
    const DWORD code = host.Wait(120000, [&] {
        const std::string out = host.Output();
        size_t from = 0;
        for (size_t seen = 0;; ++seen) {
            const size_t end = out.find("] > ", from);
            if (end == std::string::npos) return;
            if (seen == handled) {
                ++handled;
                return respond(out.substr(from, end + 4 - from));
            }
            from = end + 4;
        }
    });
    EXPECT_EQ(0u, code) << host.Output();

    run.ExpectReportSays(
        {"40 text cells, 2 status cells", "identification         PASS", "every dot              PASS",
         "status cells           PASS", "dot order              PASS", "moving marker          PASS",
         "function keys          PASS", "routing keys           PASS", "status keys            PASS",
         // Letter case is not compared: under Wine a character's keys sent
         // as one array can be translated with Shift already released.
         "typing keyboard        PASS: typed \"", "Caps Lock typing       PASS: typed \"",
         "off and on             PASS", "unplug and replug      PASS: keys arrive after the return",
         "suspend and resume     PASS", "port handover          PASS", "down vk 0x26 scan 0x48 extended",
         "up   vk 0x26 scan 0x48 extended", "arrow keys 1, 1 with the extended flag", "Caps Lock is on",
         "GetCommState: 38400 baud", "GetCommTimeouts: read interval", "GetCommProperties: provider type",
         "own open of " + cable.driverEnd + " while suspended: succeeded",
         "own open of " + cable.driverEnd + " while lent: succeeded", "writes accepted while the display was away",
         "handover.exe ended with 0", "every step passed"});
}

// With nobody at the keyboard (no standard input) the check does not wait:
// the steps that need a person are not checked, the others still run.
TEST(FirstRunCheck, WithoutAnswersRunsWhatNeedsNobodyAndSaysWhatWasNotChecked) {
    REQUIRE_CABLE(cable, 0);
    sim::CSimDisplay display;
    ASSERT_TRUE(display.Open(cable.displayEnd.c_str()));
    const CCheckRun run("first-run-report-unanswered.txt");
    testenv::CChildProcess host;
    ASSERT_TRUE(run.Start(host, cable.driverEnd, false));
    EXPECT_EQ(3u, host.Wait(60000)) << host.Output();
    run.ExpectReportSays({"identification         PASS", "every dot              NOT CHECKED: nobody answered",
                          "typing keyboard        NOT CHECKED: nobody answered", "Caps Lock typing       NOT CHECKED",
                          "unplug and replug      NOT CHECKED",
                          "suspend and resume     NOT CHECKED: nobody answered (the port checks passed)",
                          "port handover          NOT CHECKED: nobody answered", "NOT every step was checked"});
}
