// Text for people, right wherever it goes. On a console (Windows's own, or
// Wine's in a terminal) each call is one WriteConsoleW of the UTF-16 text, so
// the console's code page does not matter; elsewhere (a pipe, a file) the
// UTF-8 bytes themselves, with CRLF line ends, in one WriteFile. Calls from
// several threads never interleave, so a call that writes whole lines keeps
// them whole.
#ifndef TOOLS_COMMON_CONSOLE_TEXT_H
#define TOOLS_COMMON_CONSOLE_TEXT_H

#include <cstdarg>
#include <string>
#include <vector>

namespace tools {

enum class Stream { kOut, kErr };

bool IsConsole(Stream stream);
void Write(Stream stream, const std::string& utf8);
// printf into Write; the text is cut at 4000 bytes.
// printf into a string (cut at 4000 bytes).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatList(const char* format, va_list args);
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line of standard input in UTF-8, without its line end; false at the end
// of the input. From a console key by key, echoed here (any character typed
// arrives, and lines written meanwhile by other threads are never drawn over;
// Backspace edits, Ctrl+Z or Ctrl+D on an empty line ends the input);
// otherwise the bytes as they come.
bool ReadLine(std::string* utf8);

// The program's arguments in UTF-8, without the program's name: main's argv is
// in the ANSI code page, which cannot hold every character.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// UTF-8 to code points; a byte that does not start a valid sequence becomes
// U+FFFD on its own.
std::u32string DecodeUtf8(const std::string& utf8);

}  // namespace tools

#endif
