#include "support/fake_serial.h"

#include "display_sim.h"

#include <cstdio>

namespace serialwire {

std::vector<uint8_t> Frame(uint8_t command, const std::vector<uint8_t>& data) {
    return sim::EncodeFrame(command, data);
}

const std::vector<uint8_t> kIdentifyRequest = {0x01, 0x02, 0x24, 0x00, 0x03, 0x7C, 0xAA};
const std::vector<uint8_t> kAck = {0x01, 0x02, 0x7F, 0x00, 0x03, 0xD1, 0xAA};
const std::vector<uint8_t> kIdentifyDone = {0x01, 0x02, 0x26, 0x01, 0x03, 0x00, 0x79, 0xAA};
const std::vector<uint8_t> kIdentity40 = {0x01, 0x02, 0x25, 0x06, 0x03, 0x28, 0x00, 0x00, 0x00, 0x05, 0x07, 0x31, 0xAA};

std::vector<uint8_t> DisplayDots(const std::vector<uint8_t>& host) {
    static const int kTarget[8] = {3, 2, 1, 7, 6, 5, 0, 4};
    std::vector<uint8_t> out;
    for (uint8_t h : host) {
        uint8_t d = 0;
        for (int k = 0; k < 8; ++k)
            if (h & (1 << k)) d = static_cast<uint8_t>(d | (1 << kTarget[k]));
        out.push_back(d);
    }
    return out;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
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

std::string HexFrames(const std::vector<std::vector<uint8_t>>& frames) {
    std::string out;
    for (size_t i = 0; i < frames.size(); ++i) out += (i ? " | " : "") + Hex(frames[i]);
    return out;
}

}  // namespace serialwire

std::vector<std::vector<uint8_t>> CSerialRecord::Writes() const {
    std::vector<std::vector<uint8_t>> out;
    for (const WriteCall& w : writes) out.push_back(w.bytes);
    return out;
}

void CSerialRecord::Deliver(const std::vector<uint8_t>& bytes) {
    input.insert(input.end(), bytes.begin(), bytes.end());
    if (!bytes.empty()) EndRead(0);
}

void CSerialRecord::EndRead(LONG status) {
    if (!pending) return;
    DWORD n = 0;
    while (status == 0 && n < pendingSize && !input.empty()) {
        pendingBuffer[n++] = input.front();
        input.pop_front();
    }
    reads.push_back({pendingSize, n});  // recorded when it ends
    pending->InternalHigh = n;
    pending->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
    SetEvent(pending->hEvent);
    pending = nullptr;
}

CFakeSerial::CFakeSerial(std::shared_ptr<CSerialRecord> r) : record(std::move(r)) { record->opened = true; }

CFakeSerial::~CFakeSerial() { record->destroyed = true; }

LONG CFakeSerial::Open(const char*, DWORD, DWORD, bool) {
    record->opened = true;
    return 0;
}

LONG CFakeSerial::Close() {
    record->closed = true;
    record->EndRead(static_cast<LONG>(0xC0000120L));  // cancelled
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
    if (count) *count = record->failure ? 0 : size;
    if (record->onWrite) record->onWrite(call.bytes);
    return record->failure;
}

LONG CFakeSerial::Read(void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD) {
    if (overlapped && !record->failure) {
        overlapped->Internal = STATUS_PENDING;
        record->pending = overlapped;
        record->pendingBuffer = static_cast<uint8_t*>(buffer);
        record->pendingSize = size;
        if (!record->input.empty()) record->EndRead(0);
        return 0;
    }
    DWORD n = 0;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (n < size && !record->input.empty() && !record->failure) {
        out[n++] = record->input.front();
        record->input.pop_front();
    }
    record->reads.push_back({size, n});
    if (count) *count = n;
    return record->failure;
}

DWORD CTestClock::NowMs() {
    ++nowReads;
    if (realClock) return IPlatform::NowMs();
    const DWORD t = now;
    now += step;
    return t;
}

SHORT CTestClock::VkKeyScanExW(WCHAR c, HKL) {
    scanned.push_back(c);
    for (const auto& entry : layout)
        if (entry.first == c) return entry.second;
    return static_cast<SHORT>(-1);
}

UINT CTestClock::SendInputs(UINT count, INPUT* inputs, int) {
    for (UINT i = 0; i < count; ++i) {
        const KEYBDINPUT& ki = inputs[i].ki;
        if (ki.dwFlags & KEYEVENTF_SCANCODE) {
            injectedScans.push_back(ki.wScan);
            continue;
        }
        keystrokes.push_back({static_cast<BYTE>(ki.wVk), ki.dwFlags});
        if (onKeystroke) onKeystroke(keystrokes.back());
    }
    return count;
}
