// Serial frame protocol: 01 02 CMD LEN 03 DATA CHK-low CHK-high at 38400 8N1.
// Every valid frame received is acknowledged (0x7F) before it is acted on; a
// display frame (0x00) waits for the display's acknowledgement, and while it
// waits only the newest further image is kept.
#include <cstdlib>
#include <cstring>
#include <new>

#include "device/serial/serial.h"
#include "device/serial_decoder.h"
#include "driver/driver.h"

namespace {
constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t CMD_DISPLAY = 0x00;
constexpr uint8_t CMD_FUNCTION_KEY = 0x10;
constexpr uint8_t CMD_ROUTING_KEY = 0x11;
constexpr uint8_t CMD_CHARACTER_KEY = 0x13;
constexpr uint8_t CMD_SCAN_CODE = 0x14;
constexpr uint8_t CMD_IDENTIFY = 0x24;
constexpr uint8_t CMD_IDENTITY = 0x25;
constexpr uint8_t CMD_IDENTIFY_DONE = 0x26;
constexpr uint8_t CMD_ACK = 0x7F;
constexpr uint16_t kChecksumMask = 0xAA55;
constexpr int kMaxFrameData = 119;  // the largest frame lastFrame holds
constexpr DWORD kWriteTimeoutMs = 1000;
}  // namespace

void CBrailleSampleDriver::BusyWait(uint16_t milliseconds) {
    const DWORD start = platform->NowMs();
    while (static_cast<DWORD>(platform->NowMs() - start) <= milliseconds) YieldProcessor();
}

// 1 when the port is open. 0 otherwise: either the open failed (no port
// object is left) or it is still on its way after `waitMs` (a Bluetooth port
// connects inside the open), and the port object keeps it for a later call.
int CBrailleSampleDriver::OpenSerialPort(DWORD waitMs) {
    if (serial && !serial->IsOpening()) return 0;
    if (!serial) serial = new (std::nothrow) CSerial(*platform);
    if (!serial) return 0;
    serialFailed = 0;
    serial->SetOpenWait(waitMs);
    const LONG opened = serial->Open(portName, 0, 0, true);
    if (opened == ERROR_IO_PENDING && serial->IsOpening()) return 0;
    if (opened != 0) {
        CloseSerialPort();
        return 0;
    }
    serial->Configure(38400, 8, 0, 0);
    // What reached the port while the driver had it closed (keys pressed during
    // a suspension, a lend or a search's pause) is old: a pty keeps it, and so
    // does a USB-serial adapter's own buffer.
    serial->Purge();
    return 1;
}

int CBrailleSampleDriver::IdentifySerialDevice() {
    if (!serial) return 0;
    const char* com = std::strstr(portName, "COM");
    comPortNumber = com ? static_cast<int32_t>(std::strtol(com + 3, nullptr, 10)) : 0;

    SendFrame(CMD_IDENTIFY, 0, nullptr);
    identified = 0;
    const int budget = 2000;
    int resendMark = budget / 4;
    for (int elapsed = 0; elapsed < budget; elapsed += 2) {
        uint8_t b = 0;
        DWORD count = 0;
        const LONG read = serial->Read(&b, 1, &count, nullptr, INFINITE);
        if (count == 1) FeedByte(b);
        if (CSerial::IsPortFailure(read) || serialFailed) return 0;
        if (identified) {
            const uint8_t done = 0x00;
            SendFrame(CMD_IDENTIFY_DONE, 1, &done);
            return 1;
        }
        if (elapsed >= resendMark) {
            SendFrame(CMD_IDENTIFY, 0, nullptr);
            resendMark += budget / 4;
        }
        BusyWait(2);
    }
    return 0;
}

void CBrailleSampleDriver::SendFrame(uint8_t command, uint8_t length, const uint8_t* data) {
    // While the driver looks for its lost display, what that display sends is
    // still acknowledged, or it would take an answered frame for a lost one.
    const bool probeAck = probeReading && command == CMD_ACK;
    if (failureCount > 3 && !probeAck) return;
    if (!serial) return;
    if (suspended && !probeAck) return;
    if (length > kMaxFrameData || (length && !data)) return;  // never built by the driver itself
    if (awaitingAck && command == CMD_DISPLAY) {
        pendingCommand = command;
        pendingLength = length;
        std::memcpy(pendingData, data, length);
        pendingValid = 1;
        return;
    }
    const size_t total = EncodeSerialFrame(command, length, data, lastFrame + 2);
    lastFrame[0] = static_cast<uint8_t>(total);
    lastFrame[1] = command;
    // A dead port is acted on by the poll, not here: this may run inside the
    // receiver, which goes on with the port's bytes.
    if (CSerial::IsPortFailure(
            serial->Write(lastFrame + 2, static_cast<DWORD>(total), nullptr, nullptr, kWriteTimeoutMs)))
        serialFailed = 1;
    if (command == CMD_DISPLAY) {
        ++awaitingAck;
        // A frame still held back is older than this one (left over from before
        // an outage); released later it would replace the newer image.
        pendingValid = 0;
    }
    lastSendTick = platform->NowMs();
}

void CBrailleSampleDriver::FeedByte(uint8_t b) {
    switch (rxState) {
    case 0:
        if (b == SOH) rxState = 1;
        break;
    case 1:
        if (b == STX) {
            rxSum = STX;
            rxState = 2;
        } else {
            rxState = 0;
        }
        break;
    case 2:
        rxCommand = b;
        rxSum = static_cast<uint16_t>(rxSum + b);
        rxState = 3;
        break;
    case 3:
        rxLength = b;
        rxRemaining = b;
        rxSum = static_cast<uint16_t>(rxSum + b);
        rxIndex = 0;
        rxState = 4;
        break;
    case 4:
        if (b == ETX) {
            rxSum = static_cast<uint16_t>(rxSum + ETX);
            rxState = rxRemaining > 0 ? 5 : 6;
        } else {
            rxState = 0;
        }
        break;
    case 5:
        --rxRemaining;
        rxData[rxIndex] = b;  // rxIndex is 8-bit and rxData has 256 bytes
        ++rxIndex;
        rxSum = static_cast<uint16_t>(rxSum + b);
        if (rxRemaining == 0) rxState = 6;
        break;
    case 6:
        rxChecksum = b;
        rxState = 7;
        break;
    case 7:
        rxChecksum = static_cast<uint16_t>(rxChecksum + b * 256);
        rxSum ^= kChecksumMask;
        rxState = 0;
        CompleteFrame();
        break;
    default:
        rxState = 0;  // never reached: the states are 0..7
        break;
    }
}

void CBrailleSampleDriver::CompleteFrame() {
    if (rxSum != rxChecksum) return;
    if (rxCommand == CMD_ACK) {
        awaitingAck = 0;
        failureCount = 0;
        return;
    }
    SendFrame(CMD_ACK, 0, nullptr);
    const uint8_t* d = rxData;
    switch (rxCommand) {
    case CMD_FUNCTION_KEY:
        DeliverFunctionKey(d[0]);
        break;
    case CMD_ROUTING_KEY:
        DeliverRoutingKey(d[0]);
        break;
    case CMD_CHARACTER_KEY:
        TypeCharacter(static_cast<uint16_t>(d[0] + 256 * d[1]));
        break;
    case CMD_SCAN_CODE:
        InjectScanCode(static_cast<uint16_t>(d[0] + 256 * d[1]));
        break;
    case CMD_IDENTITY:
        textCells = d[0];
        statusCells = 2;
        deviceVersion[0] = d[4];
        deviceVersion[1] = d[5];
        identified = 1;
        break;
    default:
        break;
    }
}
