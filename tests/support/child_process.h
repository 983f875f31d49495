// A program of the build started in a process of its own, its output (stdout
// and stderr together) collected as it comes.
#ifndef BRL_CHILD_PROCESS_H
#define BRL_CHILD_PROCESS_H

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace testenv {

class CChildProcess {
public:
    CChildProcess() = default;
    // Ends a child still running (exit code 99) and waits for it.
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Starts `program` (a path) with the argument line; false, with the reason
    // in Output(), when it cannot be started. With `withInput` its standard
    // input is a pipe that Send writes to; otherwise it has none.
    bool Start(const std::string& program, const std::string& args, bool withInput = false);
    bool Send(const std::string& text);
    std::string Output();
    bool Says(const std::string& text);
    bool Ended();
    DWORD ExitCode();  // 0xFFFFFFFF while it runs or when it never started
    // Calls `whileRunning` about every 10 ms until the child ends; a child
    // still running after `limitMs` is ended. Returns the exit code with all
    // the output read.
    DWORD Wait(
        DWORD limitMs, const std::function<void()>& whileRunning = [] {});

private:
    PROCESS_INFORMATION process{};
    HANDLE readEnd = nullptr;
    HANDLE inputEnd = nullptr;
    std::thread reader;
    std::mutex lock;
    std::string output;
};

}  // namespace testenv

#endif
