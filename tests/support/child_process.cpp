#include "support/child_process.h"

namespace testenv {

CChildProcess::~CChildProcess() {
    if (process.hProcess) {
        Wait(0);  // ends it if it still runs
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (reader.joinable()) reader.join();
    if (readEnd) CloseHandle(readEnd);
    if (inputEnd) CloseHandle(inputEnd);
}

bool CChildProcess::Start(const std::string& program, const std::string& args, bool withInput) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE writeEnd = nullptr;
    HANDLE childInput = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    if (withInput && CreatePipe(&childInput, &inputEnd, &inherit, 0))
        SetHandleInformation(inputEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = childInput;
    std::string line = "\"" + program + "\" " + args;
    const BOOL started =
        CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    if (childInput) CloseHandle(childInput);
    if (!started) {
        process = PROCESS_INFORMATION{};
        std::lock_guard<std::mutex> hold(lock);
        output = "cannot start " + line;
        return false;
    }
    reader = std::thread([this] {
        char buffer[256];
        DWORD got = 0;
        while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got) {
            std::lock_guard<std::mutex> hold(lock);
            output.append(buffer, got);
        }
    });
    return true;
}

bool CChildProcess::Send(const std::string& text) {
    DWORD written = 0;
    return inputEnd && WriteFile(inputEnd, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

std::string CChildProcess::Output() {
    std::lock_guard<std::mutex> hold(lock);
    return output;
}

bool CChildProcess::Says(const std::string& text) { return Output().find(text) != std::string::npos; }

bool CChildProcess::Ended() { return !process.hProcess || WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0; }

DWORD CChildProcess::ExitCode() {
    DWORD code = 0xFFFFFFFF;
    if (process.hProcess && GetExitCodeProcess(process.hProcess, &code) && code == STILL_ACTIVE) code = 0xFFFFFFFF;
    return code;
}

DWORD CChildProcess::Wait(DWORD limitMs, const std::function<void()>& whileRunning) {
    if (!process.hProcess) return ExitCode();
    const DWORD start = GetTickCount();
    while (WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT && GetTickCount() - start <= limitMs)
        whileRunning();
    if (!Ended()) TerminateProcess(process.hProcess, 99);
    WaitForSingleObject(process.hProcess, 5000);
    if (reader.joinable()) reader.join();  // the pipe closes with the child
    return ExitCode();
}

}  // namespace testenv
