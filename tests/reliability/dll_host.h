// What the reliability tests share beyond the test kit: the cable they use
// and host cells with a distinct pattern for each seed.
#ifndef BRL_RELIABILITY_DLL_HOST_H
#define BRL_RELIABILITY_DLL_HOST_H

#include <cstdint>
#include <vector>

#include "support/cable_end.h"
#include "support/dll_on_cable.h"
#include "support/driver_dll.h"
#include "support/probes.h"
#include "support/recording_host.h"
#include "support/test_env.h"

namespace reliability {

// The cable these tests use: the second one, so that a parallel run of the other
// test executables (which use the first) does not share a port with them.
constexpr size_t kCableIndex = 1;

// Host cells with a distinct pattern for each seed.
std::vector<uint8_t> Pattern(uint32_t seed, size_t count = 40);

}  // namespace reliability

#endif
