// Frame encoding and decoding, dot order and text helpers of the simulated display.
#include "display_sim.h"

namespace sim {

uint16_t FrameChecksum(uint8_t command, const uint8_t* data, size_t length) {
    uint16_t sum = static_cast<uint16_t>(0x02 + command + length + 0x03);
    for (size_t i = 0; i < length; ++i) sum = static_cast<uint16_t>(sum + data[i]);
    return static_cast<uint16_t>(sum ^ 0xAA55);
}

std::vector<uint8_t> EncodeFrame(uint8_t command, const uint8_t* data, size_t length) {
    if (length > kMaxFrameData || (length > 0 && data == nullptr)) return {};
    std::vector<uint8_t> frame;
    frame.reserve(length + 7);
    frame.push_back(0x01);
    frame.push_back(0x02);
    frame.push_back(command);
    frame.push_back(static_cast<uint8_t>(length));
    frame.push_back(0x03);
    frame.insert(frame.end(), data, data + length);
    uint16_t check = FrameChecksum(command, data, length);
    frame.push_back(static_cast<uint8_t>(check & 0xFF));
    frame.push_back(static_cast<uint8_t>(check >> 8));
    return frame;
}

void CFrameDecoder::Reset() {
    state = State::Soh;
    consumed = 0;
    data.clear();
}

// The frame in progress is lost. An SOH that broke it may itself start the next frame.
void CFrameDecoder::Abandon(uint8_t byte) {
    discardedBytes += consumed;
    data.clear();
    if (byte == 0x01) {
        state = State::Stx;
        consumed = 1;
    } else {
        state = State::Soh;
        consumed = 0;
        ++discardedBytes;
    }
}

bool CFrameDecoder::Feed(uint8_t byte, Frame* out) {
    ++consumed;
    switch (state) {
    case State::Soh:
        consumed = 0;
        if (byte == 0x01) {
            state = State::Stx;
            consumed = 1;
        } else {
            ++discardedBytes;
        }
        return false;
    case State::Stx:
        if (byte != 0x02) {
            --consumed;
            Abandon(byte);
            return false;
        }
        sum = 0x02;
        state = State::Cmd;
        return false;
    case State::Cmd:
        command = byte;
        sum = static_cast<uint16_t>(sum + byte);
        state = State::Len;
        return false;
    case State::Len:
        length = byte;
        sum = static_cast<uint16_t>(sum + byte);
        data.clear();
        state = State::Etx;
        return false;
    case State::Etx:
        if (byte != 0x03) {
            --consumed;
            Abandon(byte);
            return false;
        }
        sum = static_cast<uint16_t>(sum + 0x03);
        state = length > 0 ? State::Data : State::ChkLow;
        return false;
    case State::Data:
        data.push_back(byte);
        sum = static_cast<uint16_t>(sum + byte);
        if (data.size() >= length) state = State::ChkLow;
        return false;
    case State::ChkLow:
        checkLow = byte;
        state = State::ChkHigh;
        return false;
    case State::ChkHigh: {
        state = State::Soh;
        consumed = 0;
        uint16_t received = static_cast<uint16_t>(checkLow | (byte << 8));
        if (received != static_cast<uint16_t>(sum ^ 0xAA55)) {
            ++badChecksums;
            data.clear();
            return false;
        }
        if (out) {
            out->command = command;
            out->data = data;
        }
        data.clear();
        return true;
    }
    }
    return false;
}

std::vector<Frame> CFrameDecoder::FeedBytes(const uint8_t* bytes, size_t count) {
    std::vector<Frame> frames;
    Frame frame;
    for (size_t i = 0; i < count; ++i)
        if (Feed(bytes[i], &frame)) frames.push_back(frame);
    return frames;
}

namespace {
constexpr uint8_t kDeviceBitOfHostBit[8] = {3, 2, 1, 7, 6, 5, 0, 4};
}

uint8_t HostToDeviceDots(uint8_t host) {
    uint8_t device = 0;
    for (int k = 0; k < 8; ++k)
        if (host & (1u << k)) device = static_cast<uint8_t>(device | (1u << kDeviceBitOfHostBit[k]));
    return device;
}

uint8_t DeviceToHostDots(uint8_t device) {
    uint8_t host = 0;
    for (int k = 0; k < 8; ++k)
        if (device & (1u << kDeviceBitOfHostBit[k])) host = static_cast<uint8_t>(host | (1u << k));
    return host;
}

std::string CellsToUnicodeBraille(const uint8_t* hostCells, size_t count) {
    std::string text;
    text.reserve(count * 3);
    for (size_t i = 0; i < count; ++i) {
        // U+2800 + pattern, always three UTF-8 bytes: E2 A0..A3 80..BF.
        uint8_t p = hostCells[i];
        text.push_back(static_cast<char>(0xE2));
        text.push_back(static_cast<char>(0xA0 | (p >> 6)));
        text.push_back(static_cast<char>(0x80 | (p & 0x3F)));
    }
    return text;
}

const char* CommandName(uint8_t command) {
    switch (command) {
    case kCmdDisplay:
        return "display";
    case kCmdFunctionKey:
        return "function key";
    case kCmdRoutingKey:
        return "routing key";
    case kCmdCharacterKey:
        return "character";
    case kCmdScanCode:
        return "scan code";
    case kCmdIdentify:
        return "identify request";
    case kCmdIdentity:
        return "identity";
    case kCmdIdentifyDone:
        return "identify done";
    case kCmdAck:
        return "ack";
    default:
        return "unknown command";
    }
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 3);
    for (size_t i = 0; i < count; ++i) {
        if (i) text.push_back(' ');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

double NowMs() {
    static const double ticksPerMs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / ticksPerMs;
}

}  // namespace sim
