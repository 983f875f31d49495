// The console host's commands, checked before anything runs: a --script is
// refused as a whole (exit 2) when one of its commands is unknown or has a
// malformed argument, naming the command and its position.
#ifndef BRL_HOST_COMMANDS_H
#define BRL_HOST_COMMANDS_H

#include <cstdint>
#include <string>
#include <vector>

struct HostCommand {
    enum class Kind { kText, kCells, kAll, kClear, kSuspend, kResume, kInfo, kWait, kExpectKey, kExpectTyped, kQuit };
    Kind kind = Kind::kQuit;
    std::string text;                  // text: the words; expect-key: the key name; expect-typed: the character
    std::vector<unsigned char> cells;  // cells, all
    bool anyValue = true;              // expect-key without a value, or with *
    int32_t value = 0;                 // expect-key
    uint32_t ms = 0;                   // wait; the expect-* limit (default 5000)
};

// One command line; false with the reason in *error ("unknown command x",
// "cells takes hex bytes 00 to FF, not \"zz\"").
bool ParseHostCommand(const std::string& line, HostCommand* out, std::string* error);

// A --script: commands separated by ';' or new lines, blank ones skipped.
// false with "command N (\"LINE\"): REASON" in *error.
bool ParseHostScript(const std::string& script, std::vector<HostCommand>* out, std::string* error);

// True for a line with nothing but blanks.
bool BlankCommand(const std::string& line);

#endif
