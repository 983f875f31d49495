// Doubles for feeding the driver's receivers directly, many millions of bytes
// at a time: a serial port that swallows writes and counts acknowledgements,
// and a platform whose clock is a counter and whose keystrokes go nowhere (a
// random stream can hold valid character and scan-code frames).
#ifndef BRL_RELIABILITY_QUIET_DOUBLES_H
#define BRL_RELIABILITY_QUIET_DOUBLES_H

#include <cstdint>
#include <cstring>

#include "device/serial/serial.h"
#include "platform/platform.h"

namespace reliability {

class CSwallowingSerial : public CSerial {
public:
    uint64_t writes = 0;
    uint64_t acks = 0;    // writes that were exactly the acknowledgement frame
    uint64_t others = 0;  // any other write
    LONG Write(const void* buffer, DWORD size, DWORD* count, OVERLAPPED*, DWORD) override {
        static const uint8_t kAck[7] = {0x01, 0x02, 0x7F, 0x00, 0x03, 0xD1, 0xAA};
        ++writes;
        if (size == sizeof kAck && std::memcmp(buffer, kAck, sizeof kAck) == 0)
            ++acks;
        else
            ++others;
        if (count) *count = size;
        return 0;
    }
    LONG Read(void*, DWORD, DWORD* count, OVERLAPPED*, DWORD) override {
        if (count) *count = 0;
        return 0;
    }
    LONG Close() override { return 0; }
};

class CQuietPlatform : public IPlatform {
public:
    uint64_t keystrokes = 0;
    DWORD NowMs() override { return ++now; }
    DWORD TickCount() override { return now; }
    HDEVINFO SetupGetClassDevs(const GUID*, DWORD) override { return INVALID_HANDLE_VALUE; }
    SHORT VkKeyScanExA(CHAR, HKL) override {
        ++keystrokes;
        return 0x41;
    }
    void KeybdEvent(BYTE, BYTE, DWORD, ULONG_PTR) override { ++keystrokes; }
    UINT SendInputs(UINT count, INPUT*, int) override {
        ++keystrokes;
        return count;
    }

private:
    DWORD now = 0;
};

}  // namespace reliability

#endif
