#include "support/fake_serial.h"

#include <algorithm>
#include <cstdio>

namespace serialwire {

uint16_t Checksum(uint8_t command, const std::vector<uint8_t>& data) {
    // Every byte from STX to the last data byte, then the fixed mask.
    uint32_t sum = 0x02u + command + static_cast<uint32_t>(data.size() & 0xFF) + 0x03u;
    for (uint8_t b : data) sum += b;
    return static_cast<uint16_t>((sum & 0xFFFF) ^ 0xAA55);
}

std::vector<uint8_t> Frame(uint8_t command, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> f = {0x01, 0x02, command, static_cast<uint8_t>(data.size()), 0x03};
    f.insert(f.end(), data.begin(), data.end());
    const uint16_t sum = Checksum(command, data);
    f.push_back(static_cast<uint8_t>(sum & 0xFF));
    f.push_back(static_cast<uint8_t>(sum >> 8));
    return f;
}

void Append(std::vector<uint8_t>& a, const std::vector<uint8_t>& b) { a.insert(a.end(), b.begin(), b.end()); }

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char part[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(part, sizeof part, i ? " %02X" : "%02X", bytes[i]);
        out += part;
    }
    return out;
}

}  // namespace serialwire

std::vector<std::vector<uint8_t>> CSerialRecord::Writes() const {
    std::vector<std::vector<uint8_t>> out;
    for (const WriteCall& w : writes) out.push_back(w.bytes);
    return out;
}

CFakeSerial::CFakeSerial(std::shared_ptr<CSerialRecord> r) : record(std::move(r)) { record->opened = true; }

CFakeSerial::~CFakeSerial() { record->destroyed = true; }

LONG CFakeSerial::Open(const char*, DWORD, DWORD, bool) {
    record->opened = true;
    return 0;
}

LONG CFakeSerial::Close() {
    record->closed = true;
    return 0;
}

LONG CFakeSerial::Configure(DWORD baudRate, BYTE, BYTE, BYTE) {
    record->baudRate = baudRate;
    return 0;
}

LONG CFakeSerial::Write(const void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD timeout) {
    CSerialRecord::WriteCall call;
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    call.bytes.assign(bytes, bytes + size);
    call.timeout = timeout;
    call.overlapped = overlapped != nullptr;
    call.readsBefore = record->reads.size();
    record->writes.push_back(call);
    if (count) *count = size;
    if (record->onWrite) record->onWrite(call.bytes);
    return 0;
}

LONG CFakeSerial::Read(void* buffer, DWORD size, DWORD* count, OVERLAPPED*, DWORD) {
    DWORD n = 0;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (n < size && !record->input.empty()) {
        out[n++] = record->input.front();
        record->input.pop_front();
    }
    record->reads.push_back({size, n});
    if (count) *count = n;
    return 0;
}

DWORD CTestClock::NowMs() {
    ++nowReads;
    if (realClock) return IPlatform::NowMs();
    const DWORD t = now;
    now += step;
    return t;
}

SHORT CTestClock::VkKeyScan(CHAR c) {
    const uint8_t b = static_cast<uint8_t>(c);
    scanned.push_back(b);
    for (const auto& entry : layout)
        if (entry.first == b) return entry.second;
    return static_cast<SHORT>(-1);
}

void CTestClock::KeybdEvent(BYTE vk, BYTE, DWORD flags, ULONG_PTR) {
    keystrokes.push_back({vk, flags});
    if (onKeystroke) onKeystroke(keystrokes.back());
}

UINT CTestClock::SendInputs(UINT count, INPUT* inputs, int) {
    for (UINT i = 0; i < count; ++i) injectedScans.push_back(inputs[i].ki.wScan);
    return count;
}

CCableDisplay::CCableDisplay(const std::string& port) {
    const std::string path = "\\\\.\\" + port;
    handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
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

CCableDisplay::~CCableDisplay() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

bool CCableDisplay::Send(const std::vector<uint8_t>& bytes) {
    DWORD written = 0;
    return WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::vector<uint8_t> CCableDisplay::Receive(size_t size, DWORD timeoutMs) {
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

std::vector<uint8_t> CCableDisplay::Drain(DWORD timeoutMs) { return Receive(static_cast<size_t>(-1) / 2, timeoutMs); }
