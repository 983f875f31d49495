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

}  // namespace testenv
