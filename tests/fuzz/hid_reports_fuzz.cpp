// The USB display's reports: what an input report means, and the output
// reports built for it. The input is read as reports of 9 bytes one after the
// other, and once whole as one report of any length.
#include <string.h>

#include <algorithm>
#include <vector>

#include "device/hid_reports.h"
#include "frame_stream.h"

using fuzzkit::Require;

namespace {

constexpr size_t kReport = protocol::kHidReportSize;

// Decoded from a buffer of exactly `length` bytes, so a read past it is caught.
HidInput Decode(const uint8_t* bytes, size_t length) {
    std::vector<uint8_t> report(bytes, bytes + length);
    const HidInput input = DecodeHidInput(report.data(), length);
    if (length < kReport) {
        Require(input.kind == HidInputKind::Nothing, "a short report means nothing");
        return input;
    }
    const uint8_t* p = bytes + 1;
    switch (input.kind) {
    case HidInputKind::FunctionKey:
    case HidInputKind::CellKey:
        Require(p[0] == (input.kind == HidInputKind::CellKey ? protocol::kHidRoutingKey : protocol::kHidFunctionKey) &&
                    input.code == p[1],
                "a key report passes its code unchanged");
        break;
    case HidInputKind::Ack:
        Require(p[0] == protocol::kHidAck, "an acknowledgement is an FF report");
        break;
    case HidInputKind::HelloAnswer:
        Require(p[0] == protocol::kHidHello && p[1] == protocol::kHidMarkA && p[2] == protocol::kHidMarkB &&
                    input.info[0] == p[3] && input.info[1] == p[4],
                "a hello answer is FB AA 55 and its two information bytes");
        break;
    case HidInputKind::Nothing:
        break;
    }
    return input;
}

bool Same(const HidInput& a, const HidInput& b) {
    return a.kind == b.kind && a.code == b.code && a.info[0] == b.info[0] && a.info[1] == b.info[1];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (size_t at = 0; at < size; at += kReport) Decode(data + at, std::min(kReport, size - at));
    if (size >= kReport)
        Require(Same(Decode(data, size), Decode(data, kReport)), "bytes after the payload are ignored");

    // An output report of any length: nothing written when it cannot hold the
    // payload, else ID 0, the payload and zeros, and not a byte beyond it.
    uint8_t payload[protocol::kHidPayloadSize] = {};
    memcpy(payload, data, std::min(size, sizeof payload));
    const size_t length = size % (4 * kReport);
    std::vector<uint8_t> report(length, 0xCC);
    const size_t written = EncodeHidReport(payload, report.data(), length);
    std::vector<uint8_t> expected(length, 0xCC);
    if (length >= kReport) {
        std::fill(expected.begin(), expected.end(), 0);
        std::copy(payload, payload + sizeof payload, expected.begin() + 1);
    }
    Require(written == (length >= kReport ? length : 0) && report == expected,
            "an output report is ID 0, payload, zeros");

    // A display frame from 42 cells read from a buffer of just that size.
    std::vector<uint8_t> cells(protocol::kFrameCells);
    std::copy(data, data + std::min(size, cells.size()), cells.begin());
    const HidFramePayloads frame = EncodeHidFrame(cells.data());
    std::vector<uint8_t> wire = {protocol::kHidFrameStart, protocol::kHidMarkA, protocol::kHidMarkB};
    wire.insert(wire.end(), cells.begin(), cells.end());
    wire.insert(wire.end(), {protocol::kHidMarkB, protocol::kHidMarkA, protocol::kHidFrameStart});
    Require(memcmp(frame.payload, wire.data(), wire.size()) == 0 && sizeof frame.payload == wire.size(),
            "a display frame is FF AA 55, the cells, 55 AA FF");
    return 0;
}
