// The driver DLL as a host sees it, for the reliability tests: loaded once,
// its allocations counted (probes.h), a host object that records keys, and
// the simulated display on a virtual cable of its own.
#ifndef BRL_RELIABILITY_DLL_HOST_H
#define BRL_RELIABILITY_DLL_HOST_H

#include <windows.h>

#include <string>
#include <vector>

#include "brailledriver.h"
#include "display_sim.h"
#include "support/probes.h"

namespace reliability {

// The cable these tests use: the second one, so that a parallel run of the other
// test executables (which use the first) does not share a port with them.
constexpr size_t kCableIndex = 1;

struct Key {
    std::string name;
    int32_t value;
};

class CRecordingHost : public IBrailleHost {
public:
    std::vector<Key> keys;
    int32_t BRL_CALL OnKey(IBrailleDriver*, const char* name, int32_t value) override {
        keys.push_back({name ? name : "", value});
        return 0;
    }
    int32_t BRL_CALL OnData(IBrailleDriver*, const unsigned char*, int32_t) override { return 0; }
};

// The DLL's driver (loaded on first use; null if the DLL is missing). The
// allocation hook is installed on the first load.
IBrailleDriver* Driver();
HMODULE DriverModule();
// True when the allocation counter is installed on the DLL.
bool AllocationsCounted();

// A cable end may hold bytes written while nobody had it open; empty it.
void DrainPort(const std::string& port);

// Host cells with a distinct pattern for each seed.
std::vector<uint8_t> Pattern(uint32_t seed, size_t count = 40);

// Pumps the calling thread's messages for the given time (keys reach the host).
void Pump(DWORD ms);

}  // namespace reliability

#endif
