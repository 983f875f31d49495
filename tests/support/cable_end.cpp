#include "support/cable_end.h"

#include <algorithm>

#include "support/test_env.h"

namespace testenv {

namespace {
HANDLE OpenPort(const std::string& port) {
    return CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}
}  // namespace

CCableEnd::CCableEnd(const std::string& port) {
    handle = OpenPort(port);
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
    HANDLE h = OpenPort(port);
    while (h == INVALID_HANDLE_VALUE && GetTickCount() - start < 3000) {
        Sleep(20);
        h = OpenPort(port);
    }
    if (h == INVALID_HANDLE_VALUE) return false;
    COMMTIMEOUTS immediate = {MAXDWORD, 0, 0, 0, 1000};
    SetCommTimeouts(h, &immediate);
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    DWORD quietSince = GetTickCount();
    while (GetTickCount() - quietSince < quietMs && GetTickCount() - start < 10000) {
        uint8_t buffer[256];
        DWORD got = 0;
        if (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0)
            quietSince = GetTickCount();
        else
            Sleep(5);
    }
    CloseHandle(h);
    return true;
}

bool DrainCable(const Cable& cable, DWORD quietMs) {
    const bool driverEnd = DrainPort(cable.driverEnd, quietMs);
    return DrainPort(cable.displayEnd, quietMs) && driverEnd;
}

}  // namespace testenv
