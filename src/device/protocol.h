// The display's wire protocol on both links, in one place: the serial frame's
// bytes and commands, the USB report markers and numbers, and the times and
// counts the driver allows the display. Nothing here needs Windows.
#ifndef BRL_PROTOCOL_H
#define BRL_PROTOCOL_H

#include <stdint.h>

namespace protocol {

// ---- cells ----
constexpr int kFrameCells = 42;      // cells carried by every display frame, status cells first
constexpr int kCellImageSize = 200;  // host writes reach this far into the image; beyond kFrameCells is never sent
// Host bit k moves to display bit kDeviceBit[k].
constexpr int kDeviceBit[8] = {3, 2, 1, 7, 6, 5, 0, 4};

// ---- serial frames: 01 02 CMD LEN 03 DATA CHK-low CHK-high at 38400 8N1 ----
constexpr uint32_t kBaudRate = 38400;
constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint16_t kChecksumMask = 0xAA55;  // the sum of STX..data, XORed with this
constexpr int kFrameOverhead = 7;           // bytes around the data
constexpr int kMaxFrameData = 119;          // the largest frame the driver builds

enum SerialCommand : uint8_t {
    kCmdDisplay = 0x00,       // driver: the cells (42 bytes)
    kCmdFunctionKey = 0x10,   // display: a function key, code 1..64
    kCmdRoutingKey = 0x11,    // display: a routing or status key
    kCmdCharacterKey = 0x13,  // display: a character (code page 437) or a special key, 16 bits
    kCmdScanCode = 0x14,      // display: a PS/2 set-2 scan code, 16 bits
    kCmdIdentify = 0x24,      // driver: who are you
    kCmdIdentity = 0x25,      // display: text cells, version in data bytes 4 and 5
    kCmdIdentifyDone = 0x26,  // driver: identification taken (one data byte 0)
    kCmdAck = 0x7F,           // both: a valid frame was received
};

// The display's identity frame carries at least this many data bytes.
constexpr int kIdentityLength = 6;
constexpr int kSerialStatusCells = 2;  // every serial display has two status cells

// Serial times and counts.
constexpr uint32_t kSerialAckTimeoutMs = 400;  // a display frame unacknowledged this long timed out
// Acknowledgement time-outs in a row that the link survives; the next one
// gives the display up and starts the search.
constexpr int kSerialTimeoutsTolerated = 3;
constexpr uint32_t kIdentifyBudgetMs = 2000;  // the identification at open, asked again each quarter
constexpr uint16_t kIdentifyStepMs = 2;
constexpr uint32_t kSerialWriteTimeoutMs = 1000;

// ---- USB HID reports: report ID 0 and an 8-byte payload ----
constexpr uint16_t kVendorId = 0x04D8;
constexpr uint16_t kProductId = 0xABD7;
constexpr uint16_t kVersionNumber = 0xF100;
constexpr int kHidPayloadSize = 8;
constexpr int kHidReportSize = 1 + kHidPayloadSize;
constexpr int kHidTextCells = 40;  // a USB display has no status cells

// First payload byte of a report.
constexpr uint8_t kHidHello = 0xFB;        // both: FB AA 55 (the display adds two info bytes)
constexpr uint8_t kHidRoutingKey = 0xFD;   // display: routing key, cell number
constexpr uint8_t kHidFunctionKey = 0xFE;  // display: function key, code 1..64
constexpr uint8_t kHidFrameStart = 0xFF;   // driver: FF AA 55 and cells 0..4; display: acknowledgement
constexpr uint8_t kHidAck = 0xFF;
constexpr uint8_t kHidMarkA = 0xAA;
constexpr uint8_t kHidMarkB = 0x55;

// USB times and counts.
constexpr uint32_t kHidAckTimeoutMs = 1000;
constexpr uint32_t kHidWriteBoundMs = 1000;  // a report not taken this long: the display counts as gone
constexpr int kHelloPolls = 10;
constexpr uint16_t kHelloPollMs = 50;

// ---- both links ----
constexpr uint32_t kSearchIntervalMs = 1000;  // retry period while the display is away
constexpr uint32_t kTickMs = 100;             // the worker's poll

}  // namespace protocol

#endif
