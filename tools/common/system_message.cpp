#include "system_message.h"

#include <windows.h>

namespace tools {

std::string SystemMessage(unsigned long error) {
    char text[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.')) --n;
    std::string number = "error " + std::to_string(error);
    if (n == 0) return number;
    return std::string(text, n) + " (" + number + ")";
}

}  // namespace tools
