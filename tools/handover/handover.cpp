// handover.exe: borrows the braille display's serial port from the running
// driver through the shared section "tq715sharemem", and gives it back.
//
//   handover [--run "COMMAND"] [--hold MS] [--restore-value X] [--timeout MS]
//
// Steps, each printed: create the section; wait until the driver publishes its
// port number; write 101 and wait for the answer 102 with the display's two
// version values; run COMMAND and/or wait MS milliseconds while the port is
// borrowed (with neither, wait for Enter); write 200 + X (X defaults to the
// published number) and wait until the driver has written X back.
//
// COMMAND runs with HANDOVER_PORT=COMn in its environment when the driver
// published a port number. It may be a Windows program or, under Wine, a Linux
// program by its Z:\ path.
//
// Exit codes: 0 done; 1 the driver did not answer in time; 2 bad arguments or
// the section could not be made; 3 the port was given back but COMMAND could
// not be started or ended with a nonzero code.
#include <windows.h>
// After windows.h, which it builds on.
#include <sddl.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "system_message.h"
#include "tool_args.h"

namespace {

constexpr char kSectionName[] = "tq715sharemem";
constexpr DWORD kSectionSize = 256;  // the driver maps the first 255 bytes
constexpr LONG kLendRequest = 101;
constexpr LONG kLendAnswer = 102;
constexpr LONG kRestoreBase = 200;
constexpr LONG kUnpublished = -1;  // the driver replaces any word below 200 with its number
constexpr DWORD kPollMs = 5;

enum ExitCode { kDone = 0, kTimedOut = 1, kSetupError = tools::kExitBadArguments, kCommandFailed = 3 };

struct Options {
    std::string run;
    bool hasRun = false;
    DWORD holdMs = 0;
    bool hasHold = false;
    LONG restoreValue = 0;
    bool hasRestoreValue = false;
    DWORD timeoutMs = 5000;
};

void DeclareOptions(tools::CArguments& args, Options& o) {
    args.Text("--run", "\"COMMAND\"", "run COMMAND while the port is borrowed, wait for it to end", &o.run, &o.hasRun);
    args.Number("--hold", "MS", "keep the port MS milliseconds (after COMMAND, if both)", 0, 24LL * 3600 * 1000,
                &o.holdMs, &o.hasHold);
    args.Number("--restore-value", "X", "give the port back with 200 + X (default: the published number)", 0,
                LONG_MAX - kRestoreBase, &o.restoreValue, &o.hasRestoreValue);
    args.Number("--timeout", "MS", "how long to wait for each answer of the driver (default 5000)", 1, 3600LL * 1000,
                &o.timeoutMs);
    args.Notes(
        "With neither --run nor --hold the port is kept until Enter is pressed.\n"
        "Exit codes:\n"
        "  0 done; 1 the driver did not answer in time; 2 bad arguments or the section\n"
        "  could not be made; 3 the port was given back but COMMAND could not be started\n"
        "  or ended with a nonzero code\n");
}

// The section, held for the tool's whole run.
class CSection {
public:
    ~CSection() {
        if (view) UnmapViewOfFile(view);
        if (mapping) CloseHandle(mapping);
    }
    // The section lets in every interactive user's programs for reading and
    // writing, whatever this program's own token: run elevated, the default
    // security would admit only elevated programs, and the driver inside a
    // screen reader of normal rights could never attach.
    bool Create(bool* existed) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
        if (ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)",
                                                                 SDDL_REVISION_1, &descriptor, nullptr))
            attributes.lpSecurityDescriptor = descriptor;
        mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0, kSectionSize, kSectionName);
        DWORD error = GetLastError();
        if (descriptor) LocalFree(descriptor);
        // One made by an earlier run grants this run reading and writing only.
        if (!mapping && error == ERROR_ACCESS_DENIED) {
            mapping = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, kSectionName);
            error = ERROR_ALREADY_EXISTS;
        }
        if (!mapping) return false;
        *existed = error == ERROR_ALREADY_EXISTS;
        view = MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kSectionSize);
        return view != nullptr;
    }
    volatile LONG& At(size_t index) { return static_cast<volatile LONG*>(view)[index]; }
    LONG Word() { return At(0); }
    void SetWord(LONG value) { At(0) = value; }

private:
    HANDLE mapping = nullptr;
    void* view = nullptr;
};

// Polls the word until the condition holds or the time is up; true if it held.
template <typename Condition>
bool WaitForWord(CSection& section, DWORD timeoutMs, Condition condition) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition(section.Word())) return true;
        if (GetTickCount() - start > timeoutMs) return condition(section.Word());
        Sleep(kPollMs);
    }
}

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// Runs the command and waits for it; its exit code, or -1 when it did not start.
long RunCommand(const std::string& command, LONG portNumber) {
    if (portNumber > 0) {
        const std::string port = "COM" + std::to_string(portNumber);
        SetEnvironmentVariableA("HANDOVER_PORT", port.c_str());
    }
    std::string line = command;  // CreateProcessA may write into the command line
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        Say("handover: cannot start \"%s\": %s\n", command.c_str(), tools::SystemMessage(GetLastError()).c_str());
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<long>(code);
}

// Writes 200 + x and waits until the driver has written x.
bool GiveBack(CSection& section, LONG x, DWORD timeoutMs) {
    Say("giving the port back: writing %ld\n", static_cast<long>(kRestoreBase + x));
    section.SetWord(kRestoreBase + x);
    if (!WaitForWord(section, timeoutMs, [&](LONG w) { return w == x; })) {
        Say("handover: timed out after %lu ms: the driver did not take the port back (word %ld)\n", timeoutMs,
            static_cast<long>(section.Word()));
        return false;
    }
    Say("the driver has the port again (word %ld)\n", static_cast<long>(x));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    tools::CArguments args("handover", "[--run \"COMMAND\"] [--hold MS] [--restore-value X] [--timeout MS]");
    DeclareOptions(args, options);
    if (std::optional<int> code = args.ParseOrExit(argc, argv)) return *code;

    // The section's name lives in this program's session; the driver looks in
    // the session of the screen reader that loaded it.
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    if (session == 0)
        Say("note: this program runs in session 0, where services run; a driver inside a screen reader runs in a "
            "user's session and cannot see this section: start handover in that user's session\n");

    CSection section;
    bool existed = false;
    if (!section.Create(&existed)) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "handover: cannot create the section %s: %s\n", kSectionName,
                     tools::SystemMessage(error).c_str());
        if (error == ERROR_ACCESS_DENIED)
            std::fprintf(stderr,
                         "handover: another program holds a section of that name that this program may not open "
                         "(one running elevated with default security, say); the driver cannot open it either: "
                         "end that program\n");
        return kSetupError;
    }
    Say("section %s %s in session %lu\n", kSectionName, existed ? "already exists, using it" : "created", session);

    LONG portNumber = 0;
    bool alreadyLent = false;
    const LONG initial = section.Word();
    if (existed && initial == kLendAnswer) {
        // An earlier borrower never gave the port back; this run gives it back.
        alreadyLent = true;
        Say("the port is already lent (an earlier borrower did not give it back); taking over\n");
    } else {
        if (initial != kLendRequest) section.SetWord(kUnpublished);
        Say("waiting for the driver to publish its port number...\n");
        if (!WaitForWord(section, options.timeoutMs, [](LONG w) { return w != kUnpublished; })) {
            Say("handover: timed out after %lu ms: no driver published a port number. No driver reached the "
                "section: a driver started by a host must run in this session (%lu)%s\n",
                options.timeoutMs, session,
                existed ? "; the section was made by another program, whose security may keep the driver out" : "");
            return kTimedOut;
        }
        const LONG published = section.Word();
        if (published != kLendRequest && published != kLendAnswer) {
            portNumber = published;
            if (portNumber > 0)
                Say("driver port number: %ld (COM%ld)\n", static_cast<long>(portNumber), static_cast<long>(portNumber));
            else
                Say("driver port number: %ld (none published)\n", static_cast<long>(portNumber));
        }
    }
    const LONG x = options.hasRestoreValue ? options.restoreValue : portNumber;

    if (!alreadyLent) {
        Say("borrowing the port: writing %ld\n", static_cast<long>(kLendRequest));
        section.SetWord(kLendRequest);
        // The driver may publish over a request written just as it read the word;
        // ask again whenever the word shows anything but the request or the answer.
        const bool answered = WaitForWord(section, options.timeoutMs, [&](LONG w) {
            if (w == kLendAnswer) return true;
            if (w != kLendRequest && w < kRestoreBase) section.SetWord(kLendRequest);
            return false;
        });
        if (!answered) {
            Say("handover: timed out after %lu ms: the driver did not lend the port (word %ld)\n", options.timeoutMs,
                static_cast<long>(section.Word()));
            // Withdraw the request. Should the driver have answered meanwhile,
            // the port goes straight back instead of staying lent to nobody.
            section.SetWord(kUnpublished);
            if (WaitForWord(section, 500, [](LONG w) { return w == kLendAnswer; }))
                GiveBack(section, x, options.timeoutMs);
            return kTimedOut;
        }
    }
    Say("port borrowed: version values %lu and %lu\n", static_cast<unsigned long>(section.At(1)),
        static_cast<unsigned long>(section.At(2)));

    int result = kDone;
    if (options.hasRun) {
        Say("running: %s\n", options.run.c_str());
        const long code = RunCommand(options.run, portNumber);
        if (code >= 0) Say("command ended with exit code %ld\n", code);
        if (code != 0) result = kCommandFailed;
    }
    if (options.hasHold) {
        Say("holding the port for %lu ms\n", options.holdMs);
        Sleep(options.holdMs);
    }
    if (!options.hasRun && !options.hasHold) {
        Say("press Enter to give the port back\n");
        int c;
        while ((c = std::getchar()) != EOF && c != '\n') {
        }
    }

    if (!GiveBack(section, x, options.timeoutMs)) return kTimedOut;
    return result;
}
