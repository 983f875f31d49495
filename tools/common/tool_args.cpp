#include "tool_args.h"

#include "console_text.h"

#include <cerrno>
#include <cstdlib>

namespace tools {

namespace {

bool ParseDecimal(const std::string& text, long long min, long long max, long long* out) {
    if (text.empty() || text.size() > 20) return false;
    const char first = text[0];
    if (!(first == '-' || (first >= '0' && first <= '9'))) return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno || *end || value < min || value > max) return false;
    *out = value;
    return true;
}

}  // namespace

CArguments::CArguments(std::string tool, std::string synopsis) : tool(std::move(tool)), synopsis(std::move(synopsis)) {}

void CArguments::Flag(const char* name, const char* help, bool* on) {
    Entry entry;
    entry.name = name;
    entry.help = help;
    entry.store = [on](const std::string&, long long) { *on = true; };
    options.push_back(entry);
}

void CArguments::Text(const char* name, const char* value, const char* help, std::string* out, bool* given) {
    Entry entry;
    entry.name = name;
    entry.value = value;
    entry.help = help;
    entry.store = [out](const std::string& text, long long) { *out = text; };
    entry.given = given;
    options.push_back(entry);
}

void CArguments::Add(const char* name, const char* value, const char* help, long long min, long long max, Store store,
                     bool* given) {
    Entry entry;
    entry.name = name;
    entry.value = value;
    entry.help = help;
    entry.number = true;
    entry.min = min;
    entry.max = max;
    entry.store = std::move(store);
    entry.given = given;
    options.push_back(entry);
}

void CArguments::Positional(const char* value, const char* help, std::string* out) {
    AddPositional(value, help, false, 0, 0, [out](const std::string& text, long long) { *out = text; });
}

void CArguments::AddPositional(const char* value, const char* help, bool number, long long min, long long max,
                               Store store) {
    Entry entry;
    entry.value = value;
    entry.help = help;
    entry.number = number;
    entry.min = min;
    entry.max = max;
    entry.store = std::move(store);
    positionals.push_back(entry);
}

void CArguments::Notes(std::string text) { notes = std::move(text); }

bool CArguments::Take(const Entry& entry, const std::string& text, std::string* error) const {
    long long number = 0;
    if (entry.number && !ParseDecimal(text, entry.min, entry.max, &number)) {
        const std::string what = entry.name.empty() ? entry.value : entry.name;
        *error = tool + ": " + what + " takes a whole number from " + std::to_string(entry.min) + " to " +
                 std::to_string(entry.max) + ", not \"" + text + "\"";
        return false;
    }
    entry.store(text, number);
    if (entry.given) *entry.given = true;
    return true;
}

CArguments::Result CArguments::Parse(const std::vector<std::string>& args) {
    size_t nextPositional = 0;
    std::string error;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") return {Outcome::kHelp, Help()};
        if (arg.size() > 1 && arg[0] == '-') {
            const size_t equals = arg.find('=');
            const std::string name = arg.substr(0, equals);
            const Entry* entry = nullptr;
            for (const Entry& e : options)
                if (e.name == name) entry = &e;
            if (!entry) return {Outcome::kRefused, tool + ": unknown option " + name};
            if (entry->value.empty()) {
                if (equals != std::string::npos) return {Outcome::kRefused, tool + ": " + name + " takes no value"};
                entry->store(std::string(), 0);
                continue;
            }
            std::string value;
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return {Outcome::kRefused, tool + ": " + name + " needs a value (" + entry->value + ")"};
            }
            if (!Take(*entry, value, &error)) return {Outcome::kRefused, error};
        } else {
            if (nextPositional >= positionals.size())
                return {Outcome::kRefused, tool + ": unexpected argument \"" + arg + "\""};
            if (!Take(positionals[nextPositional++], arg, &error)) return {Outcome::kRefused, error};
        }
    }
    return {Outcome::kRun, std::string()};
}

std::optional<int> CArguments::ParseOrExit(int argc, char** argv) {
    return ParseOrExit(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0)));
}

std::optional<int> CArguments::ParseOrExit(const std::vector<std::string>& args) {
    const Result result = Parse(args);
    switch (result.outcome) {
    case Outcome::kHelp:
        Write(Stream::kOut, result.message);
        return 0;
    case Outcome::kRefused:
        return Refuse(result.message);
    case Outcome::kRun:
        break;
    }
    return std::nullopt;
}

int CArguments::Refuse(const std::string& message) const {
    Write(Stream::kErr, message + "\nusage: " + tool + " " + synopsis + " (" + tool + " --help lists the options)\n");
    return kExitBadArguments;
}

std::string CArguments::Help() const {
    std::string text = "usage: " + tool + " " + synopsis + "\n";
    auto line = [&text](const std::string& left, const std::string& help) {
        std::string l = "  " + left;
        l.resize(l.size() < 24 ? 24 : l.size() + 1, ' ');
        text += l + help + "\n";
    };
    for (const Entry& p : positionals) line(p.value, p.help);
    text += "Options:\n";
    for (const Entry& o : options) line(o.value.empty() ? o.name : o.name + " " + o.value, o.help);
    line("--help", "print this help and exit");
    if (!notes.empty()) text += notes;
    return text;
}

}  // namespace tools
