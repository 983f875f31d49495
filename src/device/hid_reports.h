// The USB display's reports without the HID stack: the hello, a display frame
// as six payloads, and what an input report means. Every report is report ID 0
// followed by an 8-byte payload. Nothing here needs Windows, so the decoder can
// be built and fuzzed natively.
#ifndef BRL_HID_REPORTS_H
#define BRL_HID_REPORTS_H

#include <stddef.h>
#include <stdint.h>

#include "device/protocol.h"

constexpr int kHidFrameReports = 6;  // reports per display frame

// The hello: FB AA 55, then zeros.
inline constexpr uint8_t kHidHelloPayload[protocol::kHidPayloadSize] = {protocol::kHidHello, protocol::kHidMarkA,
                                                                        protocol::kHidMarkB};

// A display frame of kFrameCells cells c0..c41 as six payloads:
// FF AA 55 c0..c4, then c5..c36 eight at a time, then c37..c41 55 AA FF.
struct HidFramePayloads {
    uint8_t payload[kHidFrameReports][protocol::kHidPayloadSize];
};
HidFramePayloads EncodeHidFrame(const uint8_t* cells);

// Builds an output report of `length` bytes into `report`: ID 0, the payload,
// zeros after it. Returns the length, or 0 (nothing written) when it is
// shorter than a whole report.
size_t EncodeHidReport(const uint8_t* payload, uint8_t* report, size_t length);

enum class HidInputKind : uint8_t {
    Nothing,      // too short, unknown, or a hello marker without its answer
    FunctionKey,  // code: the key as sent (1..64 on a working display)
    CellKey,      // code: the routing key's cell number as sent
    Ack,          // the display took the last display frame
    HelloAnswer,  // info: the display's two information bytes
};

struct HidInput {
    HidInputKind kind;
    uint8_t code;
    uint8_t info[2];
};

// What an input report means, read as it came (`length` bytes, report ID
// first). A report shorter than ID and payload means nothing.
HidInput DecodeHidInput(const uint8_t* report, size_t length);

#endif
