// Test environment helpers: virtual cables and bounded waits.
#ifndef BRL_TEST_ENV_H
#define BRL_TEST_ENV_H

#include <windows.h>

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

// Pumps this thread's messages until the condition holds or the time runs out.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);

}  // namespace testenv

// Skips the test when the run has no virtual cable with that index.
#define REQUIRE_CABLE(var, index)                 \
    testenv::Cable var = testenv::CableAt(index); \
    if (var.driverEnd.empty()) GTEST_SKIP() << "no virtual cable " << index;

#endif
