#include "support/test_env.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "brailledriver.h"
#include "support/probes.h"

namespace testenv {

std::vector<Cable> Cables() {
    std::vector<Cable> cables;
    char buffer[1024];
    DWORD n = GetEnvironmentVariableA("BRL_CABLES", buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return cables;
    std::istringstream in(std::string(buffer, n));
    std::string pair;
    while (in >> pair) {
        size_t colon = pair.find(':');
        if (colon == std::string::npos) continue;
        cables.push_back({pair.substr(0, colon), pair.substr(colon + 1)});
    }
    return cables;
}

Cable CableAt(size_t index) {
    std::vector<Cable> all = Cables();
    return index < all.size() ? all[index] : Cable{};
}

std::string NoCable(size_t index) {
    std::ostringstream out;
    out << "no virtual serial cable " << index << " (BRL_CABLES has " << Cables().size()
        << "). Run the tests with scripts/test, which makes the cables, or make them by hand:\n"
           "  export WINEPREFIX=$PWD/build/wineprefix\n"
           "  scripts/cables up $WINEPREFIX 4 && wineserver -p\n"
           "and start the test through scripts/wine-run, which reads $WINEPREFIX/cables.env.";
    return out.str();
}

bool WaitUntil(const std::function<bool()>& condition, double timeoutMs) {
    const double end = probes::NowMs() + timeoutMs;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (condition()) return true;
        const double left = end - probes::NowMs();
        if (left <= 0) return condition();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::clamp(left, 1.0, 5.0)), QS_ALLINPUT);
    }
}

void Pump(double ms) {
    WaitUntil([] { return false; }, ms);
}

std::vector<HWND> KeyWindows(DWORD thread) {
    std::vector<HWND> found;
    EnumThreadWindows(
        thread,
        [](HWND window, LPARAM list) {
            char name[16] = {};
            if (GetClassNameA(window, name, sizeof name) && std::string(name) == BRL_MAKER)
                reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

std::vector<uint8_t> Pattern(uint32_t seed, size_t count) {
    std::vector<uint8_t> cells(count);
    uint32_t x = seed * 2654435761u + 12345u;
    for (auto& c : cells) {
        x = x * 1103515245u + 12345u;
        c = static_cast<uint8_t>(x >> 16);
    }
    if (count > 0) cells[0] = static_cast<uint8_t>(seed);
    if (count > 1) cells[1] = static_cast<uint8_t>((seed >> 8) | 0x80);
    return cells;
}

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    char text[64];
    DWORD n = GetEnvironmentVariableA(name, text, sizeof text);
    if (n == 0 || n >= sizeof text) return fallback;
    return std::strtoull(text, nullptr, 0);
}

std::string BesideMe(const char* program) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n < sizeof path ? n : 0);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + program;
}

}  // namespace testenv
