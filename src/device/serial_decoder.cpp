#include "device/serial_decoder.h"

#include "device/protocol.h"

using protocol::kChecksumMask;
using protocol::kEtx;
using protocol::kSoh;
using protocol::kStx;

size_t EncodeSerialFrame(uint8_t command, uint8_t length, const uint8_t* data, uint8_t* out) {
    // The sum starts at STX + CMD + LEN + ETX; SOH is not summed.
    uint16_t sum = static_cast<uint16_t>(kStx + command + length + kEtx);
    out[0] = kSoh;
    out[1] = kStx;
    out[2] = command;
    out[3] = length;
    out[4] = kEtx;
    for (int i = 0; i < length; ++i) {
        out[5 + i] = data[i];
        sum = static_cast<uint16_t>(sum + data[i]);
    }
    sum ^= kChecksumMask;
    out[5 + length] = static_cast<uint8_t>(sum & 0xFF);
    out[6 + length] = static_cast<uint8_t>(sum >> 8);
    return static_cast<size_t>(length) + protocol::kFrameOverhead;
}

const CSerialFrame* CSerialDecoder::Feed(uint8_t b) {
    switch (state) {
    case State::Idle:
        if (b == kSoh) state = State::Stx;
        break;
    case State::Stx:
        // A second SOH here loses the frame too: the receiver waits for the next one.
        state = b == kStx ? State::Command : State::Idle;
        sum = kStx;
        break;
    case State::Command:
        frame.command = b;
        Add(b);
        state = State::Length;
        break;
    case State::Length:
        frame.length = b;
        remaining = b;
        index = 0;
        Add(b);
        state = State::Etx;
        break;
    case State::Etx:
        Add(b);
        if (b != kEtx)
            state = State::Idle;
        else
            state = remaining > 0 ? State::Data : State::ChecksumLow;
        break;
    case State::Data:
        buffer[index++] = b;
        Add(b);
        if (--remaining == 0) state = State::ChecksumLow;
        break;
    case State::ChecksumLow:
        checksum = b;
        state = State::ChecksumHigh;
        break;
    case State::ChecksumHigh:
        state = State::Idle;
        return Complete(b);
    }
    return nullptr;
}

const CSerialFrame* CSerialDecoder::Complete(uint8_t checksumHigh) {
    checksum = static_cast<uint16_t>(checksum + checksumHigh * 256);
    return static_cast<uint16_t>(sum ^ kChecksumMask) == checksum ? &frame : nullptr;
}
