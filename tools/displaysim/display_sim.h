// Simulated braille display: the display's side of the serial frame protocol.
//
// Written independently of the driver (its own encoder, decoder and dot table), so
// that the driver and this display check each other over a real (virtual) COM port.
// Used by the tests as a library and by displaysim.exe as a console program.
#ifndef DISPLAYSIM_DISPLAY_SIM_H
#define DISPLAYSIM_DISPLAY_SIM_H

#include <windows.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

// Commands on the wire.
constexpr uint8_t kCmdDisplay = 0x00;
constexpr uint8_t kCmdFunctionKey = 0x10;
constexpr uint8_t kCmdRoutingKey = 0x11;
constexpr uint8_t kCmdCharacterKey = 0x13;
constexpr uint8_t kCmdScanCode = 0x14;
constexpr uint8_t kCmdIdentify = 0x24;
constexpr uint8_t kCmdIdentity = 0x25;
constexpr uint8_t kCmdIdentifyDone = 0x26;
constexpr uint8_t kCmdAck = 0x7F;

constexpr size_t kStatusCells = 2;
constexpr size_t kFrameTextCells = 40;
constexpr size_t kImageCells = kStatusCells + kFrameTextCells;  // cells in every display frame
constexpr size_t kMaxFrameData = 255;                           // LEN is one byte

// ---- Frames -------------------------------------------------------------------------

// One whole frame: 01 02 CMD LEN 03 DATA CHK-low CHK-high. Returns an empty vector when
// length exceeds 255 (LEN could not express it). data may be null when length is 0.
std::vector<uint8_t> EncodeFrame(uint8_t command, const uint8_t* data, size_t length);
inline std::vector<uint8_t> EncodeFrame(uint8_t command, const std::vector<uint8_t>& data) {
    return EncodeFrame(command, data.data(), data.size());
}
// 16-bit sum of 02, CMD, LEN, 03 and the data, XOR AA55 (length must be <= 255).
uint16_t FrameChecksum(uint8_t command, const uint8_t* data, size_t length);

struct Frame {
    uint8_t command = 0;
    std::vector<uint8_t> data;
};

// Byte-at-a-time receiver. A byte that breaks the framing drops the frame in progress;
// an 0x01 in that position starts a new frame at once, so a frame glued behind garbage
// is still found. Frames with a wrong checksum are counted and dropped.
class CFrameDecoder {
public:
    // Feeds one byte; true when it completed a frame with a valid checksum (in *out).
    bool Feed(uint8_t byte, Frame* out);
    // Feeds a buffer and returns every valid frame completed in it, in order.
    std::vector<Frame> FeedBytes(const uint8_t* bytes, size_t count);
    void Reset();

    uint32_t BadChecksums() const { return badChecksums; }
    // Bytes that were not part of any frame, plus bytes of frames that broke off.
    uint32_t DiscardedBytes() const { return discardedBytes; }
    bool InFrame() const { return state != State::Soh; }

private:
    enum class State { Soh, Stx, Cmd, Len, Etx, Data, ChkLow, ChkHigh };
    State state = State::Soh;
    uint8_t command = 0;
    uint8_t length = 0;
    uint16_t sum = 0;
    uint8_t checkLow = 0;
    uint32_t consumed = 0;  // bytes of the frame in progress, for DiscardedBytes
    std::vector<uint8_t> data;
    uint32_t badChecksums = 0;
    uint32_t discardedBytes = 0;

    void Abandon(uint8_t byte);
};

// ---- Dots ---------------------------------------------------------------------------

// Host order: bit k is dot k+1 (dots 1-8), as in Unicode braille. Device order is the
// display's own wiring: host bit 0..7 -> device bit 3,2,1,7,6,5,0,4.
uint8_t HostToDeviceDots(uint8_t host);
uint8_t DeviceToHostDots(uint8_t device);
// UTF-8 text of U+2800 + pattern for each host-order cell.
std::string CellsToUnicodeBraille(const uint8_t* hostCells, size_t count);
inline std::string CellsToUnicodeBraille(const std::vector<uint8_t>& hostCells) {
    return CellsToUnicodeBraille(hostCells.data(), hostCells.size());
}

// Short text for a command byte ("display", "ack", ...), for traces and logs.
const char* CommandName(uint8_t command);
// "01 02 24 00 03 7C AA"
std::string HexBytes(const uint8_t* bytes, size_t count);

// Milliseconds from QueryPerformanceCounter; the clock of the frame log's timestamps.
double NowMs();

// ---- The display --------------------------------------------------------------------

enum class AckPolicy {
    Immediate,       // acknowledge at once
    Delayed,         // acknowledge after Options::ackDelayMs
    Never,           // never acknowledge
    DropEveryNth,    // leave out every Options::dropEveryNth-th acknowledgement
    CorruptChecksum  // acknowledge with a wrong checksum
};

struct Counters {
    uint32_t framesReceived = 0;    // valid frames of any command
    uint32_t displayFrames = 0;     // 0x00
    uint32_t identifyRequests = 0;  // 0x24
    uint32_t identifyDone = 0;      // 0x26
    int lastIdentifyDoneByte = -1;  // data byte of the last 0x26, -1 when it carried none
    uint32_t acksReceived = 0;      // 0x7F from the driver
    uint32_t acksSent = 0;          // 0x7F written (corrupted ones included)
    uint32_t acksDropped = 0;       // acknowledgements held back by the policy or silence
    uint32_t identityReplies = 0;   // 0x25 written
    uint32_t keyFramesSent = 0;     // 0x10, 0x11, 0x13, 0x14 written
    uint32_t badChecksums = 0;      // received frames dropped for their checksum
    uint32_t otherFrames = 0;       // valid frames with any other command
    uint32_t discardedBytes = 0;    // bytes outside any valid frame structure
    uint32_t writeFailures = 0;     // writes that failed or timed out
};

struct ReceivedFrame {
    Frame frame;
    double receivedMs = 0;  // NowMs() when its last byte was decoded
};

class CSimDisplay {
public:
    struct Options {
        int textCells = 40;  // reported in the identity reply (clamped to 0..255)
        uint8_t version[2] = {5, 7};
        AckPolicy ack = AckPolicy::Immediate;
        DWORD ackDelayMs = 0;
        int dropEveryNth = 0;  // 0 or less: nothing dropped
        bool answerIdentify = true;
        bool trace = false;
        FILE* traceOut = stdout;
        // When set, each trace line (with its line end) goes here instead of traceOut.
        std::function<void(const std::string& line)> traceLine;
        size_t logLimit = 4096;  // oldest received frames are forgotten beyond this
    };
    using DisplayCallback = std::function<void(const std::array<uint8_t, kImageCells>& deviceCells)>;

    CSimDisplay() = default;
    ~CSimDisplay();
    CSimDisplay(const CSimDisplay&) = delete;
    CSimDisplay& operator=(const CSimDisplay&) = delete;

    // Opens "COMn" (or a full "\\.\COMn" path) at 38400 8N1, purges what is queued and
    // starts the reader thread. False when already open or the port cannot be opened.
    bool Open(const char* port, const Options& options);
    bool Open(const char* port) { return Open(port, Options()); }
    // Stops the reader thread and closes the port. Idempotent; bounded in time. Called from
    // the display callback it only asks the reader to stop; a later Close finishes the job.
    void Close();
    bool IsOpen() const;

    // Behaviour changes at run time. SetAckPolicy restarts the every-Nth count.
    void SetAckPolicy(AckPolicy policy, DWORD delayMs = 0, int dropEveryNth = 0);
    void SetAnswerIdentify(bool answer);
    void SetSilent(bool silent);  // neither answer nor acknowledge anything
    void SetTrace(bool on);
    // Called on the reader thread for every display frame received, without locks held.
    void SetDisplayCallback(DisplayCallback callback);

    // Senders; true when the whole frame was written.
    bool PressFunctionKey(uint8_t code);
    bool PressRoutingKey(uint8_t code);
    bool TypeCharacter(uint16_t code);
    bool SendScanCode(uint16_t code);
    bool SendFrame(uint8_t command, const uint8_t* data, size_t length);
    bool SendRaw(const uint8_t* bytes, size_t count);

    // State, safe from any thread.
    std::array<uint8_t, kImageCells> Cells() const;  // last display frame, device order
    std::vector<uint8_t> HostTextCells() const;      // its text cells in host order
    std::string RenderLine() const;                  // status + text cells as Unicode braille
    std::string RenderText() const;                  // text cells only
    Counters GetCounters() const;
    std::vector<ReceivedFrame> Log() const;
    // True while the last key frame sent has not been acknowledged by the driver.
    bool KeyAckOutstanding() const;
    void ClearHistory();  // counters and log to zero; the cells stay

    // Bounded waits. cond is evaluated on the calling thread without the display's lock,
    // so it may call the getters above. No window messages are pumped.
    bool WaitFor(const std::function<bool()>& cond, DWORD timeoutMs) const;
    bool WaitForDisplayFrames(uint32_t count, DWORD timeoutMs) const;
    bool WaitForIdentifyRequests(uint32_t count, DWORD timeoutMs) const;
    bool WaitForIdentifyDone(uint32_t count, DWORD timeoutMs) const;
    bool WaitForAcksReceived(uint32_t count, DWORD timeoutMs) const;
    bool WaitForAcksSent(uint32_t count, DWORD timeoutMs) const;
    bool WaitForText(DWORD timeoutMs) const;  // a display frame with any nonzero cell

private:
    struct Scheduled {
        double dueMs;
        std::vector<uint8_t> bytes;
        bool isAck;
    };

    void ReaderLoop();
    void OnBytes(const uint8_t* bytes, size_t count);
    void OnFrame(const Frame& frame);
    void QueueReply(std::vector<uint8_t> bytes, bool isAck, double delayMs);
    void QueueAck();
    void FlushDue();
    double NextDueMs() const;
    bool WriteBytes(const uint8_t* bytes, size_t count);
    void Trace(const char* direction, const uint8_t* bytes, size_t count, const char* note);
    void Notify();

    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE stopEvent = nullptr;
    HANDLE readEvent = nullptr;
    HANDLE writeEvent = nullptr;
    // Members rather than locals: a read still pending at shutdown must not write into a
    // stack frame that is gone.
    OVERLAPPED readOverlapped{};
    uint8_t readBuffer[256] = {};
    std::thread reader;
    mutable std::mutex writeLock;  // one frame on the wire at a time; guards port

    mutable std::mutex lock;  // guards everything below
    Options options;
    bool silent = false;
    int ackCount = 0;  // acknowledgements due since the policy was set, for DropEveryNth
    std::array<uint8_t, kImageCells> cells{};
    Counters counters;
    std::deque<ReceivedFrame> log;
    bool keyAckOutstanding = false;
    DisplayCallback displayCallback;
    std::deque<Scheduled> outgoing;  // reader thread only: replies waiting for their time
    CFrameDecoder decoder;           // reader thread only

    mutable std::mutex changeLock;
    mutable std::condition_variable changed;
    uint64_t generation = 0;
};

}  // namespace sim

#endif
