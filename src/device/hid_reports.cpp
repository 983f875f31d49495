#include "device/hid_reports.h"

#include <string.h>

using protocol::kHidPayloadSize;

HidFramePayloads EncodeHidFrame(const uint8_t* cells) {
    // The first and last payloads carry the frame's markers around five cells each.
    constexpr int kEdgeCells = kHidPayloadSize - 3;
    static_assert(2 * kEdgeCells + (kHidFrameReports - 2) * kHidPayloadSize == protocol::kFrameCells,
                  "six payloads carry exactly one frame");
    HidFramePayloads out = {};
    uint8_t* first = out.payload[0];
    first[0] = protocol::kHidFrameStart;
    first[1] = protocol::kHidMarkA;
    first[2] = protocol::kHidMarkB;
    memcpy(first + 3, cells, kEdgeCells);
    const uint8_t* middle = cells + kEdgeCells;
    for (int report = 1; report < kHidFrameReports - 1; ++report, middle += kHidPayloadSize)
        memcpy(out.payload[report], middle, kHidPayloadSize);
    uint8_t* last = out.payload[kHidFrameReports - 1];
    memcpy(last, cells + protocol::kFrameCells - kEdgeCells, kEdgeCells);
    last[kEdgeCells] = protocol::kHidMarkB;
    last[kEdgeCells + 1] = protocol::kHidMarkA;
    last[kEdgeCells + 2] = protocol::kHidFrameStart;
    return out;
}

size_t EncodeHidReport(const uint8_t* payload, uint8_t* report, size_t length) {
    if (length < static_cast<size_t>(protocol::kHidReportSize)) return 0;
    memset(report, 0, length);
    memcpy(report + 1, payload, kHidPayloadSize);
    return length;
}

HidInput DecodeHidInput(const uint8_t* report, size_t length) {
    HidInput input = {HidInputKind::Nothing, 0, {0, 0}};
    if (!report || length < static_cast<size_t>(protocol::kHidReportSize)) return input;
    const uint8_t* p = report + 1;  // the report ID is not looked at
    switch (p[0]) {
    case protocol::kHidRoutingKey:
        input.kind = HidInputKind::CellKey;
        input.code = p[1];
        break;
    case protocol::kHidFunctionKey:
        input.kind = HidInputKind::FunctionKey;
        input.code = p[1];
        break;
    case protocol::kHidAck:
        input.kind = HidInputKind::Ack;
        break;
    case protocol::kHidHello:
        if (p[1] != protocol::kHidMarkA || p[2] != protocol::kHidMarkB) break;
        input.kind = HidInputKind::HelloAnswer;
        input.info[0] = p[3];
        input.info[1] = p[4];
        break;
    default:
        break;
    }
    return input;
}
