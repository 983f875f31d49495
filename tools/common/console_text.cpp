#include "console_text.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace tools {

namespace {

std::mutex& OutputLock() {
    static std::mutex lock;
    return lock;
}

HANDLE Handle(Stream stream) { return GetStdHandle(stream == Stream::kOut ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE); }

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
    return wide;
}

std::string Narrow(const wchar_t* wide, int count) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, count, nullptr, 0, nullptr, nullptr);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide, count, &text[0], n, nullptr, nullptr);
    return text;
}

void WriteFormatted(Stream stream, const char* format, va_list args) { Write(stream, FormatList(format, args)); }

}  // namespace

std::string FormatList(const char* format, va_list args) {
    char text[4000];
    std::vsnprintf(text, sizeof text, format, args);
    return text;
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatList(format, args);
    va_end(args);
    return text;
}

bool IsConsole(Stream stream) {
    DWORD mode = 0;
    return GetConsoleMode(Handle(stream), &mode) != 0;
}

void Write(Stream stream, const std::string& utf8) {
    HANDLE handle = Handle(stream);
    if (!handle || handle == INVALID_HANDLE_VALUE || utf8.empty()) return;
    std::lock_guard<std::mutex> guard(OutputLock());
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        const std::wstring wide = Widen(utf8);
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    std::string bytes;
    bytes.reserve(utf8.size() + 8);
    for (size_t i = 0; i < utf8.size(); ++i) {
        if (utf8[i] == '\n' && (i == 0 || utf8[i - 1] != '\r')) bytes.push_back('\r');
        bytes.push_back(utf8[i]);
    }
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteFormatted(Stream::kOut, format, args);
    va_end(args);
}

void PrintError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteFormatted(Stream::kErr, format, args);
    va_end(args);
}

bool ReadLine(std::string* utf8) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    utf8->clear();
    if (GetConsoleMode(in, &mode)) {
        // Key by key, echoed here: a console's own line editing redraws the
        // line being typed over what other threads write meanwhile (Wine's
        // console in a terminal even moves it to the top).
        SetConsoleMode(in, (mode | ENABLE_PROCESSED_INPUT) & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
        std::wstring line;
        bool ended = false;
        for (;;) {
            INPUT_RECORD record;
            DWORD got = 0;
            if (!ReadConsoleInputW(in, &record, 1, &got) || got == 0) {
                ended = line.empty();
                break;
            }
            if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
            const wchar_t c = record.Event.KeyEvent.uChar.UnicodeChar;
            const WORD vk = record.Event.KeyEvent.wVirtualKeyCode;
            if (vk == VK_RETURN || c == L'\r' || c == L'\n') break;
            // Ctrl+Z or Ctrl+D on an empty line ends the input, as a terminal's would.
            if ((c == 0x1A || c == 0x04) && line.empty()) {
                ended = true;
                break;
            }
            if (vk == VK_BACK || c == 0x08) {
                if (!line.empty()) {
                    line.pop_back();
                    Write(Stream::kOut, "\b \b");
                }
            } else if (c >= 0x20) {
                line.push_back(c);
                Write(Stream::kOut, Narrow(&c, 1));
            }
        }
        SetConsoleMode(in, mode);
        Write(Stream::kOut, "\n");
        if (ended) return false;
        *utf8 = Narrow(line.data(), static_cast<int>(line.size()));
        return true;
    }
    for (;;) {
        char c = 0;
        DWORD got = 0;
        if (!ReadFile(in, &c, 1, &got, nullptr) || got == 0) {
            if (!utf8->empty() && utf8->back() == '\r') utf8->pop_back();
            return !utf8->empty();
        }
        if (c == '\n') break;
        utf8->push_back(c);
    }
    if (!utf8->empty() && utf8->back() == '\r') utf8->pop_back();
    return true;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) args.push_back(Narrow(wide[i], -1).c_str());
    LocalFree(wide);
    return args;
}

std::u32string DecodeUtf8(const std::string& utf8) {
    std::u32string out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char b = static_cast<unsigned char>(utf8[i]);
        size_t length = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
        char32_t c = length == 1 ? b : length == 2 ? (b & 0x1F) : length == 3 ? (b & 0x0F) : (b & 0x07);
        bool valid = length > 0 && i + length <= utf8.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(utf8[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        // Overlong forms and surrogates are not characters.
        static const char32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) valid = false;
        out.push_back(valid ? c : 0xFFFD);
        i += valid ? length : 1;
    }
    return out;
}

}  // namespace tools
