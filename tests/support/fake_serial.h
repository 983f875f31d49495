// Doubles for the serial side of the driver: a scripted port and a settable
// clock that also records keystroke synthesis.
//
//     auto port = std::make_shared<CSerialRecord>();
//     CTestClock clock;
//     CSerialLink link(clock, events);
//     link.SetPortMaker(maker, context);   // the maker returns a CFakeSerial on `port`
//     port->Deliver(serialwire::Frame(0x10, {5}));
//     link.Poll();
//     port->Writes()  ->  every frame the link wrote, in order
//
// The record outlives the port object, so a test can still look at what was
// written after the link closed and destroyed the port.
#ifndef BRL_FAKE_SERIAL_H
#define BRL_FAKE_SERIAL_H

#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "device/serial/serial.h"
#include "platform/platform.h"

// Frames as the display sees them: the simulated display's encoder, written
// apart from the driver's.
namespace serialwire {
// 01 02 CMD LEN 03 DATA CHK-low CHK-high (at most 255 data bytes).
std::vector<uint8_t> Frame(uint8_t command, const std::vector<uint8_t>& data);
// Control frames typed out byte by byte.
extern const std::vector<uint8_t> kIdentifyRequest;  // 0x24
extern const std::vector<uint8_t> kAck;              // 0x7F
extern const std::vector<uint8_t> kIdentifyDone;     // 0x26 with 0
extern const std::vector<uint8_t> kIdentity40;       // 0x25: 40 cells, version 5 and 7
// Host cells as the display's dots: host bit k moves to display bit
// {3, 2, 1, 7, 6, 5, 0, 4}[k] (on both links; written apart from the driver).
std::vector<uint8_t> DisplayDots(const std::vector<uint8_t>& host);
// The parts one after the other.
std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts);
// Appends b to a.
void Append(std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
std::string Hex(const std::vector<uint8_t>& bytes);
// Each frame's Hex, joined by " | ": a run of writes compared in one go.
std::string HexFrames(const std::vector<std::vector<uint8_t>>& frames);
}  // namespace serialwire

// What a CFakeSerial saw and what it is to deliver.
struct CSerialRecord {
    struct WriteCall {
        std::vector<uint8_t> bytes;
        DWORD timeout = 0;
        bool overlapped = false;
        size_t readsBefore = 0;  // Read calls made before this write
    };
    struct ReadCall {
        DWORD size = 0;
        DWORD count = 0;
    };

    std::vector<WriteCall> writes;
    std::vector<ReadCall> reads;
    std::deque<uint8_t> input;  // bytes the display has sent and the driver not yet read
    bool opened = false;
    bool closed = false;
    bool destroyed = false;
    LONG failure = 0;  // when set, reads and writes fail with this error (a pulled adapter)
    // Called after each write is recorded, with its bytes: a test can make the
    // display answer (queue input) or check what else has happened by then.
    std::function<void(const std::vector<uint8_t>&)> onWrite;

    // A read on the caller's record waits for a byte; it ends when one is
    // there, or with `status` (a cancel at Close, a pulled adapter).
    OVERLAPPED* pending = nullptr;
    uint8_t* pendingBuffer = nullptr;
    DWORD pendingSize = 0;

    // Queues the bytes; a read outstanding ends with them.
    void Deliver(const std::vector<uint8_t>& bytes);
    void EndRead(LONG status);
    std::vector<std::vector<uint8_t>> Writes() const;
    void ClearWrites() { writes.clear(); }
};

// A CSerial that never touches a device. Read returns at most the requested
// size from the scripted input and a count of 0 when there is none, as the
// port's immediate read mode does.
class CFakeSerial : public CSerial {
public:
    explicit CFakeSerial(std::shared_ptr<CSerialRecord> record);
    ~CFakeSerial() override;

    LONG Open(const char* port, DWORD inQueue, DWORD outQueue, bool overlapped) override;
    LONG Close() override;
    LONG Configure(DWORD, BYTE, BYTE, BYTE) override { return 0; }
    LONG Write(const void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD timeout) override;
    LONG Read(void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD timeout) override;
    LONG SetReadWait(DWORD) override { return 0; }
    LONG SetReadMode(int) override { return 0; }

private:
    std::shared_ptr<CSerialRecord> record;
};

// Clock and keystroke seam for serial tests; HID enumeration finds no device.
// NowMs() returns the time and then adds the auto-advance step, so busy waits
// end (step 0: the clock stands still until the test moves it); UseRealClock()
// hands it to the real 1 ms clock (for a real display end on a cable).
// Keystrokes are recorded, never typed: VkKeyScanExW answers from `layout` (no
// key by default), and Caps Lock is off.
class CTestClock : public IPlatform {
public:
    struct Keystroke {
        BYTE vk;
        DWORD flags;
    };

    void Set(DWORD ms) { now = ms; }
    void Advance(DWORD ms) { now += ms; }
    DWORD Now() const { return now; }
    void SetAutoAdvance(DWORD ms) { step = ms; }
    void UseRealClock(bool real) { realClock = real; }
    size_t NowReads() const { return nowReads; }

    DWORD NowMs() override;
    DWORD TickCount() override { return now; }
    HDEVINFO SetupGetClassDevs(const GUID*, DWORD) override { return INVALID_HANDLE_VALUE; }
    SHORT VkKeyScanExW(WCHAR c, HKL layout) override;
    SHORT GetKeyState(DWORD, int) override { return 0; }
    UINT SendInputs(UINT count, INPUT* inputs, int size) override;

    std::vector<std::pair<WCHAR, SHORT>> layout;  // character -> key value
    std::vector<WCHAR> scanned;                   // characters asked of VkKeyScanExW
    std::vector<Keystroke> keystrokes;            // keys sent by virtual key
    std::vector<WORD> injectedScans;              // wScan of every key sent by scan code
    // Called for every keystroke, after it is recorded.
    std::function<void(const Keystroke&)> onKeystroke;

private:
    DWORD now = 0;
    DWORD step = 0;
    bool realClock = false;
    size_t nowReads = 0;
};

#endif
