// The test kit's environment helpers: the virtual cables of this run, bounded
// waits that pump messages, numbers from the environment and the path of a
// program built beside the test.
#ifndef BRL_TEST_ENV_H
#define BRL_TEST_ENV_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testenv {

struct Cable {
    std::string driverEnd;   // e.g. "COM11"
    std::string displayEnd;  // e.g. "COM12"
};

// Cables made by scripts/cables for this run (BRL_CABLES="COM11:COM12 COM13:COM14").
std::vector<Cable> Cables();
// The cable with that index, or an empty Cable when there is none.
Cable CableAt(size_t index);
// Why a cable is missing and how to make one, for the failure message.
std::string NoCable(size_t index);

// Leaves an end of a cable free and empty for a new test: a cable keeps bytes
// that reached an end nobody had open (a real port drops them), an earlier
// test's bytes can still be on their way and its port take a moment to free.
// Waits (at most 3 s) until the end opens, then drops what arrives until it has
// been quiet for `quietMs`. False when it never became free. (cable_end.cpp)
bool DrainPort(const std::string& port, DWORD quietMs = 60);
// Both ends of the cable.
bool DrainCable(const Cable& cable, DWORD quietMs = 60);

// Pumps this thread's messages until the condition holds or the time runs out
// (timed on the performance counter, so short waits are as long as asked).
bool WaitUntil(const std::function<bool()>& condition, double timeoutMs);
// Pumps this thread's messages for the given time (keys reach the host).
void Pump(double ms);
// Runs the driver's poll, as the worker's timer does, and pumps messages
// until the condition holds or the time runs out.
template <typename Driver, typename Condition>
bool TickUntil(Driver& driver, Condition condition, DWORD timeoutMs) {
    return WaitUntil(
        [&] {
            driver.PollTick();
            return condition();
        },
        timeoutMs);
}

// The driver's key windows (class BRL_MAKER) that the thread owns, as a host
// finds them on its own thread.
std::vector<HWND> KeyWindows(DWORD thread = GetCurrentThreadId());

// Host cells with a distinct pattern for each seed: consecutive seeds differ
// in the first cell, and no line of two cells or more is blank.
std::vector<uint8_t> Pattern(uint32_t seed, size_t count = 40);

// The cable of the reliability tests: the second one, so that a parallel run of
// the other test executables (which use the first) does not share a port.
constexpr size_t kReliabilityCable = 1;

// A whole number from the environment (decimal or 0x hex), or the fallback.
uint64_t EnvNumber(const char* name, uint64_t fallback);

// A program in the directory of the running test, e.g. "handover.exe".
std::string BesideMe(const char* program);

}  // namespace testenv

// Sets `cable` to the cable with that index, free and empty (DrainCable); the
// test fails, saying how to make the cables, when the run has none. For the
// start of a test or of SetUp.
#define ASSERT_CABLE(cable, index)                                                                       \
    do {                                                                                                 \
        (cable) = testenv::CableAt(index);                                                               \
        ASSERT_FALSE((cable).driverEnd.empty()) << testenv::NoCable(index);                              \
        ASSERT_TRUE(testenv::DrainCable(cable)) << "cable " << (index) << " is held by an earlier test"; \
    } while (0)
// Declares `var` as the cable with that index, as ASSERT_CABLE.
#define REQUIRE_CABLE(var, index) \
    testenv::Cable var;           \
    ASSERT_CABLE(var, index)

#endif
