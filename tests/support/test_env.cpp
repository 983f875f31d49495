#include "support/test_env.h"

#include <cstdlib>
#include <sstream>

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

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (condition()) return true;
        if (GetTickCount() - start > timeoutMs) return condition();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

void Pump(DWORD ms) {
    WaitUntil([] { return false; }, ms);
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
