// Command-line options of the console tools (host, host_example, handover,
// displaysim):
// each tool declares its options in one table and gets the same behaviour:
//
//   --NAME VALUE or --NAME=VALUE; numbers are decimal, whole and within range;
//   words without a leading '-' fill the positional arguments in order;
//   --help (or -h) prints the synopsis, the options and the tool's notes
//   (commands, exit codes) on standard output and ends the tool with 0;
//   anything else (unknown option, missing or bad value, a surplus word) is
//   refused with one line on standard error and exit code 2.
#ifndef TOOLS_COMMON_TOOL_ARGS_H
#define TOOLS_COMMON_TOOL_ARGS_H

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tools {

constexpr int kExitBadArguments = 2;

class CArguments {
public:
    // tool: the program's name; synopsis: what follows it on the usage line.
    CArguments(std::string tool, std::string synopsis);

    // --name without a value sets *on.
    void Flag(const char* name, const char* help, bool* on);
    // --name VALUE, any text (an empty one too).
    void Text(const char* name, const char* value, const char* help, std::string* out, bool* given = nullptr);
    // --name N, a decimal number from min to max.
    template <typename T>
    void Number(const char* name, const char* value, const char* help, long long min, long long max, T* out,
                bool* given = nullptr) {
        Add(
            name, value, help, min, max, [out](const std::string&, long long n) { *out = static_cast<T>(n); }, given);
    }
    // Optional positional arguments, filled in the order declared; a number
    // positional is checked like a number option.
    void Positional(const char* value, const char* help, std::string* out);
    template <typename T>
    void PositionalNumber(const char* value, const char* help, long long min, long long max, T* out) {
        AddPositional(value, help, true, min, max,
                      [out](const std::string&, long long n) { *out = static_cast<T>(n); });
    }
    // Text printed after the options by --help: commands, exit codes.
    void Notes(std::string text);

    enum class Outcome { kRun, kHelp, kRefused };
    struct Result {
        Outcome outcome;
        std::string message;  // the refusal, or the help text
    };
    // Parses the arguments that follow the program name.
    Result Parse(const std::vector<std::string>& args);
    // Parses argv; prints help or refusal. Returns the exit code when the tool
    // should end at once (0 after --help, 2 after a refusal), nothing to run on.
    std::optional<int> ParseOrExit(int argc, char** argv);
    std::optional<int> ParseOrExit(const std::vector<std::string>& args);
    // A refusal found after parsing (a value the table cannot check): prints
    // it with the usage line and returns the exit code 2.
    int Refuse(const std::string& message) const;

    std::string Help() const;

private:
    using Store = std::function<void(const std::string& text, long long number)>;
    struct Entry {
        std::string name;   // "--timeout"; empty for a positional
        std::string value;  // "MS"; empty for a flag
        std::string help;
        bool number = false;
        long long min = 0;
        long long max = 0;
        Store store;
        bool* given = nullptr;
    };
    void Add(const char* name, const char* value, const char* help, long long min, long long max, Store store,
             bool* given);
    void AddPositional(const char* value, const char* help, bool number, long long min, long long max, Store store);
    bool Take(const Entry& entry, const std::string& text, std::string* error) const;

    std::string tool;
    std::string synopsis;
    std::string notes;
    std::vector<Entry> options;
    std::vector<Entry> positionals;
};

}  // namespace tools

#endif
