#include "support/cable_end.h"

#include <algorithm>
#include <memory>

#include "support/test_env.h"

namespace testenv {

CCableEnd::CCableEnd(const std::string& port) {
    handle =
        CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(handle, &dcb)) {
        dcb.BaudRate = 38400;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        SetCommState(handle, &dcb);
    }
    // Reads return at once with what has arrived; Receive polls with a bound.
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 1000};
    SetCommTimeouts(handle, &timeouts);
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
}

CCableEnd::~CCableEnd() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

bool CCableEnd::Send(const std::vector<uint8_t>& bytes) {
    DWORD written = 0;
    return WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::vector<uint8_t> CCableEnd::Receive(size_t size, DWORD timeoutMs) {
    std::vector<uint8_t> out;
    const DWORD start = GetTickCount();
    while (out.size() < size) {
        uint8_t buffer[256];
        DWORD want = static_cast<DWORD>(std::min(sizeof buffer, size - out.size()));
        DWORD got = 0;
        if (ReadFile(handle, buffer, want, &got, nullptr) && got > 0) {
            out.insert(out.end(), buffer, buffer + got);
            continue;
        }
        if (GetTickCount() - start > timeoutMs) break;
        Sleep(1);  // polling a port in immediate mode; bounded by timeoutMs
    }
    return out;
}

std::vector<uint8_t> CCableEnd::Drain(DWORD timeoutMs) { return Receive(static_cast<size_t>(-1) / 2, timeoutMs); }

bool DrainPort(const std::string& port, DWORD quietMs) {
    const DWORD start = GetTickCount();
    auto end = std::make_unique<CCableEnd>(port);
    while (!end->IsOpen() && GetTickCount() - start < 3000) {
        Sleep(20);
        end = std::make_unique<CCableEnd>(port);
    }
    if (!end->IsOpen()) return false;
    // Read in windows of quietMs until one brings nothing.
    while (!end->Drain(quietMs).empty() && GetTickCount() - start < 10000) continue;
    return true;
}

namespace {
// Whether the port is there (it may be busy): not a missing file or path.
bool Present(const std::string& port) {
    HANDLE h = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return h != INVALID_HANDLE_VALUE ||
           (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND);
}

// Wine starts the Linux program by its path on Z: but gives no handle to wait
// on, so the ports tell when it is done (at most 10 s).
bool RunCableTool(const char* command, const Cable& cable, bool plugged) {
    char tool[MAX_PATH], prefix[MAX_PATH];
    if (!GetEnvironmentVariableA("BRL_CABLE_TOOL", tool, MAX_PATH) ||
        !GetEnvironmentVariableA("WINEPREFIX", prefix, MAX_PATH))
        return false;
    std::string line = std::string("\"Z:\\bin\\bash\" ") + tool + " " + command + " " + prefix + " " + cable.driverEnd;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return WaitUntil([&] { return Present(cable.driverEnd) == plugged && Present(cable.displayEnd) == plugged; },
                     10000);
}
}  // namespace

bool ReplugCable(const Cable& cable, DWORD awayMs) {
    const bool pulled = RunCableTool("pull", cable, false);
    Pump(awayMs);
    return RunCableTool("plug", cable, true) && pulled;
}

bool DrainCable(const Cable& cable, DWORD quietMs) {
    const bool driverEnd = DrainPort(cable.driverEnd, quietMs);
    return DrainPort(cable.displayEnd, quietMs) && driverEnd;
}

CSlowOpen::~CSlowOpen() {
    SetEvent(released);
    for (int i = 0; i < 1000 && blocked > 0; ++i) Sleep(10);
    CloseHandle(released);
}

HANDLE CSlowOpen::SerialOpen(const char* path, DWORD flags) {
    InterlockedIncrement(&blocked);
    WaitForSingleObject(released, 10000);
    InterlockedDecrement(&blocked);
    return IPlatform::SerialOpen(path, flags);
}

}  // namespace testenv
