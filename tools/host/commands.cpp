#include "commands.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "console_text.h"

namespace {

bool Decimal(const std::string& word, long long min, long long max, long long* out) {
    if (word.empty() || word.size() > 11) return false;
    if (!(word[0] == '-' || (word[0] >= '0' && word[0] <= '9'))) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(word.c_str(), &end, 10);
    if (errno || *end || v < min || v > max) return false;
    *out = v;
    return true;
}

bool Milliseconds(const std::string& word, uint32_t* out) {
    long long v = 0;
    if (!Decimal(word, 0, 0x7FFFFFFF, &v)) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool HexByte(const std::string& word, unsigned char* out) {
    if (word.empty() || word.size() > 2) return false;
    unsigned value = 0;
    for (char c : word) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return false;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    *out = static_cast<unsigned char>(value);
    return true;
}

}  // namespace

bool BlankCommand(const std::string& line) { return line.find_first_not_of(" \t\r\n") == std::string::npos; }

bool ParseHostCommand(const std::string& line, HostCommand* out, std::string* error) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    HostCommand c;
    c.ms = 5000;
    auto refuse = [&](const std::string& why) {
        *error = why;
        return false;
    };
    auto noArguments = [&](HostCommand::Kind kind) {
        if (!words.empty()) return refuse(command + " takes no argument, not \"" + words[0] + "\"");
        c.kind = kind;
        return true;
    };
    bool ok = true;
    if (command == "text") {
        c.kind = HostCommand::Kind::kText;
        std::string rest = line.substr(line.find("text") + 4);
        if (!rest.empty() && (rest[0] == ' ' || rest[0] == '\t')) rest.erase(0, 1);
        while (!rest.empty() && (rest.back() == '\r' || rest.back() == '\n')) rest.pop_back();
        c.text = rest;
    } else if (command == "cells" || command == "all") {
        c.kind = command == "cells" ? HostCommand::Kind::kCells : HostCommand::Kind::kAll;
        if (words.empty()) return refuse(command + " needs at least one hex byte");
        for (const std::string& w : words) {
            unsigned char b = 0;
            if (!HexByte(w, &b)) {
                std::string why = command;
                why += " takes hex bytes 00 to FF, not \"";
                why += w;
                return refuse(why + "\"");
            }
            c.cells.push_back(b);
        }
    } else if (command == "clear") {
        ok = noArguments(HostCommand::Kind::kClear);
    } else if (command == "suspend") {
        ok = noArguments(HostCommand::Kind::kSuspend);
    } else if (command == "resume") {
        ok = noArguments(HostCommand::Kind::kResume);
    } else if (command == "info") {
        ok = noArguments(HostCommand::Kind::kInfo);
    } else if (command == "quit") {
        ok = noArguments(HostCommand::Kind::kQuit);
    } else if (command == "wait") {
        c.kind = HostCommand::Kind::kWait;
        if (words.size() != 1 || !Milliseconds(words[0], &c.ms))
            return refuse("wait takes one whole number of milliseconds" +
                          (words.empty() ? std::string() : ", not \"" + words[0] + "\""));
    } else if (command == "expect-key") {
        c.kind = HostCommand::Kind::kExpectKey;
        if (words.empty() || words.size() > 3) return refuse("expect-key takes NAME [VALUE|*] [MS]");
        c.text = words[0];
        long long v = 0;
        if (words.size() > 1 && words[1] != "*") {
            if (!Decimal(words[1], INT32_MIN, INT32_MAX, &v))
                return refuse("expect-key takes a whole number or * as the value, not \"" + words[1] + "\"");
            c.anyValue = false;
            c.value = static_cast<int32_t>(v);
        }
        if (words.size() > 2 && !Milliseconds(words[2], &c.ms))
            return refuse("expect-key takes a whole number of milliseconds, not \"" + words[2] + "\"");
    } else if (command == "expect-typed") {
        c.kind = HostCommand::Kind::kExpectTyped;
        if (words.empty() || words.size() > 2) return refuse("expect-typed takes one character and [MS]");
        if (tools::DecodeUtf8(words[0]).size() != 1)
            return refuse("expect-typed takes one character, not \"" + words[0] + "\"");
        c.text = words[0];
        if (words.size() > 1 && !Milliseconds(words[1], &c.ms))
            return refuse("expect-typed takes a whole number of milliseconds, not \"" + words[1] + "\"");
    } else {
        return refuse("unknown command " + command);
    }
    if (!ok) return false;
    *out = c;
    return true;
}

bool ParseHostScript(const std::string& script, std::vector<HostCommand>* out, std::string* error) {
    std::istringstream parts(script);
    std::string part;
    int position = 0;
    while (std::getline(parts, part, ';')) {
        std::istringstream lines(part);
        std::string line;
        while (std::getline(lines, line)) {
            if (BlankCommand(line)) continue;
            ++position;
            HostCommand command;
            std::string why;
            if (!ParseHostCommand(line, &command, &why)) {
                const size_t b = line.find_first_not_of(" \t");
                const size_t e = line.find_last_not_of(" \t\r");
                *error = "command " + std::to_string(position) + " (\"" + line.substr(b, e - b + 1) + "\"): " + why;
                return false;
            }
            out->push_back(command);
        }
    }
    return true;
}
