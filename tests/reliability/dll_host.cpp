#include "dll_host.h"

namespace reliability {

std::vector<uint8_t> Pattern(uint32_t seed, size_t count) {
    std::vector<uint8_t> cells(count);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < count; ++i) {
        x = x * 1103515245u + 12345u;
        cells[i] = static_cast<uint8_t>(x >> 16);
    }
    if (count) cells[0] = static_cast<uint8_t>(seed | 1);  // never an all-blank line
    return cells;
}

}  // namespace reliability
