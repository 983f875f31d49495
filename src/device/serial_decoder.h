// The serial link's frames: 01 02 CMD LEN 03 DATA CHK-low CHK-high, the
// checksum the 16-bit sum of STX..data XORed with 0xAA55, low byte first.
// Encoding and decoding only: what a frame means is the link's business
// (decode, then handle). Platform-free, so it builds natively as well.
#ifndef BRL_SERIAL_DECODER_H
#define BRL_SERIAL_DECODER_H

#include <stddef.h>
#include <stdint.h>

// Builds one frame into `out` (length + protocol::kFrameOverhead bytes); returns its size.
size_t EncodeSerialFrame(uint8_t command, uint8_t length, const uint8_t* data, uint8_t* out);

// A valid frame as received. `data` points at the decoder's buffer of
// kDataCapacity bytes: positions past `length` hold what earlier frames left
// there (a short frame's missing byte is read as that, never out of bounds).
struct CSerialFrame {
    static constexpr int kDataCapacity = 256;
    uint8_t command;
    uint8_t length;
    const uint8_t* data;
};

// The receiver, one byte at a time. A malformed or foreign byte sequence
// brings it back to Idle at the next STX, ETX or checksum test; a frame that
// fails its checksum is dropped without a trace.
class CSerialDecoder {
public:
    // What the next byte is expected to be (Idle: the SOH of a frame).
    enum class State : uint8_t { Idle, Stx, Command, Length, Etx, Data, ChecksumLow, ChecksumHigh };

    // Takes one byte: the frame it completed, valid by its checksum, or null.
    // The frame stays valid until the next call.
    const CSerialFrame* Feed(uint8_t b);
    State CurrentState() const { return state; }

private:
    void Add(uint8_t b) { sum = static_cast<uint16_t>(sum + b); }
    const CSerialFrame* Complete(uint8_t checksumHigh);

    State state = State::Idle;
    uint8_t remaining = 0;
    uint8_t index = 0;  // 8-bit: it cannot leave the 256-byte buffer
    uint16_t sum = 0;
    uint16_t checksum = 0;
    uint8_t buffer[CSerialFrame::kDataCapacity] = {};
    CSerialFrame frame = {0, 0, buffer};
};

#endif
