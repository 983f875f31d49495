// The console tools' shared argument handling: one table of command lines
// against one declaration that has every kind of argument.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "braille_table.h"
#include "commands.h"
#include "tool_args.h"

namespace {

using Outcome = tools::CArguments::Outcome;

struct Parsed {
    std::string port = "COM1";
    long long seconds = 10;
    std::string script;
    bool haveScript = false;
    unsigned long timeout = 0;
    bool quiet = false;
};

// Port, seconds, script, whether a script was given, timeout, quiet.
auto Fields(const Parsed& p) { return std::make_tuple(p.port, p.seconds, p.script, p.haveScript, p.timeout, p.quiet); }

struct Case {
    std::vector<std::string> args;
    Outcome outcome;
    const char* message;   // part of the refusal or help; "" for a run
    Parsed expected = {};  // what a run leaves behind; the defaults unless given
};

TEST(ToolArguments, OneBehaviourForEveryTool) {
    const std::vector<Case> cases = {
        {{}, Outcome::kRun, ""},
        {{"COM7", "30"}, Outcome::kRun, "", Parsed{"COM7", 30, "", false, 0, false}},
        {{"--script", "info; quit", "COM7"}, Outcome::kRun, "", Parsed{"COM7", 10, "info; quit", true, 0, false}},
        {{"--script="}, Outcome::kRun, "", Parsed{"COM1", 10, "", true, 0, false}},
        {{"--timeout=250", "--quiet"}, Outcome::kRun, "", Parsed{"COM1", 10, "", false, 250, true}},
        {{"--timeout", "1", "--timeout", "2"}, Outcome::kRun, "", Parsed{"COM1", 10, "", false, 2, false}},
        {{"--help"}, Outcome::kHelp, "--timeout MS"},
        {{"COM7", "-h"}, Outcome::kHelp, "Exit codes: 0 done"},
        {{"--bogus"}, Outcome::kRefused, "tool: unknown option --bogus"},
        {{"--bogus=1"}, Outcome::kRefused, "unknown option --bogus"},
        {{"-x"}, Outcome::kRefused, "unknown option -x"},
        {{"--script"}, Outcome::kRefused, "--script needs a value"},
        {{"--timeout", "abc"}, Outcome::kRefused, "--timeout takes a whole number from 0 to 60000, not \"abc\""},
        {{"--timeout", "12x"}, Outcome::kRefused, "not \"12x\""},
        {{"--timeout", ""}, Outcome::kRefused, "not \"\""},
        {{"--timeout", "-1"}, Outcome::kRefused, "from 0 to 60000"},
        {{"--timeout", "60001"}, Outcome::kRefused, "from 0 to 60000"},
        {{"--timeout", "99999999999999999999999"}, Outcome::kRefused, "from 0 to 60000"},
        {{"--timeout", " 5"}, Outcome::kRefused, "not \" 5\""},
        {{"COM7", "ten"}, Outcome::kRefused, "SECONDS takes a whole number from 1 to 3600, not \"ten\""},
        {{"COM7", "0"}, Outcome::kRefused, "SECONDS takes a whole number"},
        {{"COM7", "5", "extra"}, Outcome::kRefused, "unexpected argument \"extra\""},
        {{"--quiet=yes"}, Outcome::kRefused, "--quiet takes no value"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += "[" + a + "] ";
        Parsed p;
        tools::CArguments args("tool", "[PORT] [SECONDS] [options]");
        args.Positional("PORT", "port", &p.port);
        args.PositionalNumber("SECONDS", "seconds", 1, 3600, &p.seconds);
        args.Text("--script", "\"CMDS\"", "commands", &p.script, &p.haveScript);
        args.Number("--timeout", "MS", "limit", 0, 60000, &p.timeout);
        args.Flag("--quiet", "say less", &p.quiet);
        args.Notes("Exit codes: 0 done\n");
        const tools::CArguments::Result r = args.Parse(c.args);
        EXPECT_EQ(c.outcome, r.outcome) << line << r.message;
        EXPECT_NE(std::string::npos, r.message.find(c.message)) << line << r.message;
        if (c.outcome != Outcome::kRun) continue;
        EXPECT_EQ(Fields(c.expected), Fields(p)) << line;
    }
}

// The host's --script is checked whole before the driver starts: the first
// bad command is named with its position, and nothing runs.
TEST(HostScript, RefusesTheFirstBadCommandByPosition) {
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"text x; expect_key F1 0 300", "command 2 (\"expect_key F1 0 300\"): unknown command expect_key"},
        {"cells zz 1ff", "command 1 (\"cells zz 1ff\"): cells takes hex bytes 00 to FF, not \"zz\""},
        {"cells 00 1ff", "not \"1ff\""},
        {"all", "all needs at least one hex byte"},
        {"info;;\n wait abc", "command 2 (\"wait abc\"): wait takes one whole number of milliseconds, not \"abc\""},
        {"wait", "command 1 (\"wait\"): wait takes one whole number"},
        {"wait -5", "not \"-5\""},
        {"expect-typed", "expect-typed takes one character and [MS]"},
        {"expect-typed ab", "takes one character, not \"ab\""},
        {"expect-key", "expect-key takes NAME [VALUE|*] [MS]"},
        {"expect-key F1 one", "value, not \"one\""},
        {"expect-key F1 0 soon", "milliseconds, not \"soon\""},
        {"clear now", "clear takes no argument, not \"now\""},
        {"quit 1", "quit takes no argument"},
    };
    for (const auto& c : refused) {
        std::vector<HostCommand> commands;
        std::string error;
        EXPECT_FALSE(ParseHostScript(c.first, &commands, &error)) << c.first;
        EXPECT_NE(std::string::npos, error.find(c.second)) << c.first << ": " << error;
    }
    std::vector<HostCommand> commands;
    std::string error;
    ASSERT_TRUE(ParseHostScript("text café €;cells 0 ff\n\n expect-key Routing -2 300; expect-typed é; wait 0; quit",
                                &commands, &error))
        << error;
    ASSERT_EQ(6u, commands.size());
    EXPECT_EQ((std::vector<unsigned char>{0x09, 0x01, 0x0B, 0xFF, 0x00, 0xFF}), TextToCells(commands[0].text));
    EXPECT_EQ((std::vector<unsigned char>{0x00, 0xFF}), commands[1].cells);
    EXPECT_EQ(std::make_tuple(std::string("Routing"), false, -2, 300u),
              std::make_tuple(commands[2].text, commands[2].anyValue, commands[2].value, commands[2].ms));
    EXPECT_EQ(std::make_tuple(std::string("é"), 5000u), std::make_tuple(commands[3].text, commands[3].ms));
}

}  // namespace
