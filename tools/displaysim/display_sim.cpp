// The simulated display on a COM port: reader thread, replies, state and waits.
#include "display_sim.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace sim {

namespace {

constexpr DWORD kWriteTimeoutMs = 1000;
constexpr DWORD kIdlePollMs = 5;     // when a read returns at once with nothing
constexpr DWORD kErrorPauseMs = 20;  // after a failed read, so a broken port does not spin
constexpr DWORD kCancelWaitMs = 2000;

bool IsKeyCommand(uint8_t command) {
    return command == kCmdFunctionKey || command == kCmdRoutingKey || command == kCmdCharacterKey ||
           command == kCmdScanCode;
}

std::string Describe(const Frame& frame) {
    const std::vector<uint8_t>& d = frame.data;
    char text[128];
    switch (frame.command) {
    case kCmdDisplay: {
        size_t n = std::min(d.size(), kImageCells);
        std::vector<uint8_t> host(n);
        for (size_t i = 0; i < n; ++i) host[i] = DeviceToHostDots(d[i]);
        return "display (" + std::to_string(d.size()) + " cells) " + CellsToUnicodeBraille(host);
    }
    case kCmdFunctionKey:
    case kCmdRoutingKey:
        if (d.empty()) break;
        snprintf(text, sizeof text, "%s %u", CommandName(frame.command), d[0]);
        return text;
    case kCmdCharacterKey:
    case kCmdScanCode: {
        if (d.size() < 2) break;
        unsigned value = d[0] | (d[1] << 8);
        if (frame.command == kCmdCharacterKey && value >= 0x20 && value < 0x7F)
            snprintf(text, sizeof text, "character %u '%c'", value, static_cast<char>(value));
        else
            snprintf(text, sizeof text, "%s 0x%04X", CommandName(frame.command), value);
        return text;
    }
    case kCmdIdentity:
        if (d.size() < 6) break;
        snprintf(text, sizeof text, "identity: %u text cells, version %u.%u", d[0], d[4], d[5]);
        return text;
    case kCmdIdentifyDone:
        if (d.empty()) break;
        snprintf(text, sizeof text, "identify done (%02X)", d[0]);
        return text;
    case kCmdIdentify:
    case kCmdAck:
        return CommandName(frame.command);
    default:
        snprintf(text, sizeof text, "unknown command 0x%02X, %u data bytes", frame.command,
                 static_cast<unsigned>(d.size()));
        return text;
    }
    return std::string(CommandName(frame.command)) + " (short, " + std::to_string(d.size()) + " data bytes)";
}

}  // namespace

CSimDisplay::~CSimDisplay() { Close(); }

bool CSimDisplay::IsOpen() const {
    std::lock_guard<std::mutex> guard(writeLock);
    return port != INVALID_HANDLE_VALUE;
}

bool CSimDisplay::Open(const char* portName, const Options& opts) {
    if (!portName || !*portName || IsOpen() || reader.joinable()) return false;
    std::string path = portName;
    if (path.rfind("\\\\", 0) != 0) path = "\\\\.\\" + path;

    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    bool ok = GetCommState(h, &dcb) != 0;
    if (ok) {
        dcb.BaudRate = CBR_38400;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        ok = SetCommState(h, &dcb) != 0;
    }
    // Immediate reads: whatever has arrived. Writes are bounded by WriteBytes itself.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    ok = ok && SetCommTimeouts(h, &timeouts) != 0;
    HANDLE stop = ok ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
    HANDLE readEv = stop ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
    HANDLE writeEv = readEv ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
    if (!writeEv) {
        if (readEv) CloseHandle(readEv);
        if (stop) CloseHandle(stop);
        CloseHandle(h);
        return false;
    }
    // A previous session or the other end may have left bytes behind.
    PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);

    {
        std::lock_guard<std::mutex> guard(lock);
        options = opts;
        silent = false;
        ackCount = 0;
        cells.fill(0);
        counters = Counters();
        log.clear();
        keyAckOutstanding = false;
    }
    outgoing.clear();
    decoder.Reset();
    stopEvent = stop;
    readEvent = readEv;
    writeEvent = writeEv;
    {
        std::lock_guard<std::mutex> guard(writeLock);
        port = h;
    }
    reader = std::thread([this] { ReaderLoop(); });
    return true;
}

void CSimDisplay::Close() {
    if (reader.joinable()) {
        SetEvent(stopEvent);
        if (reader.get_id() == std::this_thread::get_id()) return;  // cannot join itself
        reader.join();
    }
    {
        std::lock_guard<std::mutex> guard(writeLock);
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
        port = INVALID_HANDLE_VALUE;
    }
    for (HANDLE* h : {&stopEvent, &readEvent, &writeEvent}) {
        if (*h) CloseHandle(*h);
        *h = nullptr;
    }
    Notify();
}

// Under Wine an overlapped read in the immediate mode stays pending until a byte comes;
// on Windows it completes at once with nothing. Both are handled: a pending read is
// waited on together with the stop event, an empty completion is followed by a short
// pause. The wait also ends when a delayed reply falls due.
void CSimDisplay::ReaderLoop() {
    bool pending = false;
    for (;;) {
        DWORD pause = 0;
        if (!pending) {
            ResetEvent(readEvent);
            readOverlapped = OVERLAPPED{};
            readOverlapped.hEvent = readEvent;
            DWORD got = 0;
            if (ReadFile(port, readBuffer, sizeof readBuffer, &got, &readOverlapped)) {
                if (got)
                    OnBytes(readBuffer, got);
                else
                    pause = kIdlePollMs;
            } else if (GetLastError() == ERROR_IO_PENDING) {
                pending = true;
            } else {
                pause = kErrorPauseMs;
            }
        }
        if (!pending && pause == 0) {
            FlushDue();
            continue;
        }
        DWORD timeout = pending ? INFINITE : pause;
        double due = NextDueMs();
        if (due >= 0) {
            double left = due - NowMs();
            DWORD untilDue = left <= 0 ? 0 : static_cast<DWORD>(left) + 1;
            timeout = std::min(timeout, untilDue);
        }
        HANDLE handles[2] = {stopEvent, readEvent};
        DWORD w = WaitForMultipleObjects(pending ? 2 : 1, handles, FALSE, timeout);
        if (w == WAIT_OBJECT_0) break;
        if (pending && w == WAIT_OBJECT_0 + 1) {
            pending = false;
            DWORD got = 0;
            if (GetOverlappedResult(port, &readOverlapped, &got, FALSE) && got) {
                OnBytes(readBuffer, got);
            } else if (WaitForSingleObject(stopEvent, kErrorPauseMs) == WAIT_OBJECT_0) {
                break;
            }
        }
        FlushDue();
    }
    if (pending) {
        // Bytes that completed the read meanwhile are simply not looked at: we are closing.
        CancelIoEx(port, &readOverlapped);
        if (WaitForSingleObject(readEvent, kCancelWaitMs) == WAIT_OBJECT_0) {
            DWORD got = 0;
            GetOverlappedResult(port, &readOverlapped, &got, FALSE);
        }
    }
}

void CSimDisplay::OnBytes(const uint8_t* bytes, size_t count) {
    Frame frame;
    for (size_t i = 0; i < count; ++i) {
        uint32_t bad = decoder.BadChecksums();
        uint32_t discarded = decoder.DiscardedBytes();
        bool complete = decoder.Feed(bytes[i], &frame);
        uint32_t newBad = decoder.BadChecksums() - bad;
        uint32_t newDiscarded = decoder.DiscardedBytes() - discarded;
        if (newBad || newDiscarded) {
            bool trace;
            {
                std::lock_guard<std::mutex> guard(lock);
                counters.badChecksums += newBad;
                counters.discardedBytes += newDiscarded;
                trace = options.trace;
            }
            if (trace && newBad) Trace("<-", nullptr, 0, "frame with a bad checksum dropped");
            Notify();
        }
        if (complete) OnFrame(frame);
    }
}

void CSimDisplay::OnFrame(const Frame& frame) {
    std::array<uint8_t, kImageCells> image{};
    bool isDisplay = frame.command == kCmdDisplay;
    bool ack = false;
    bool reply = false;
    bool trace;
    std::vector<uint8_t> identity;
    DisplayCallback callback;
    {
        std::lock_guard<std::mutex> guard(lock);
        ++counters.framesReceived;
        log.push_back({frame, NowMs()});
        while (log.size() > options.logLimit && !log.empty()) log.pop_front();
        switch (frame.command) {
        case kCmdDisplay:
            ++counters.displayFrames;
            // The frame is the whole image: cells it does not carry are blank.
            cells.fill(0);
            std::copy_n(frame.data.begin(), std::min(frame.data.size(), kImageCells), cells.begin());
            image = cells;
            callback = displayCallback;
            break;
        case kCmdIdentify:
            ++counters.identifyRequests;
            reply = options.answerIdentify && !silent;
            break;
        case kCmdIdentifyDone:
            ++counters.identifyDone;
            counters.lastIdentifyDoneByte = frame.data.empty() ? -1 : frame.data[0];
            break;
        case kCmdAck:
            ++counters.acksReceived;
            keyAckOutstanding = false;
            break;
        default:
            ++counters.otherFrames;
            break;
        }
        if (frame.command != kCmdAck) {
            ack = !silent;
            if (!ack) ++counters.acksDropped;
        }
        if (reply) {
            uint8_t data[6] = {static_cast<uint8_t>(std::clamp(options.textCells, 0, 255)),
                               0,
                               0,
                               0,
                               options.version[0],
                               options.version[1]};
            identity = EncodeFrame(kCmdIdentity, data, sizeof data);
        }
        trace = options.trace;
    }
    if (trace) {
        std::vector<uint8_t> wire = EncodeFrame(frame.command, frame.data);
        Trace("<-", wire.data(), wire.size(), Describe(frame).c_str());
    }
    if (ack) QueueAck();
    if (reply) {
        // Behind a delayed acknowledgement the reply waits too, so the order stays ack, reply.
        QueueReply(std::move(identity), false, 0);
    }
    FlushDue();
    Notify();
    if (isDisplay && callback) callback(image);
}

void CSimDisplay::QueueAck() {
    AckPolicy policy;
    double delay = 0;
    bool drop = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        policy = options.ack;
        ++ackCount;
        if (policy == AckPolicy::Never) drop = true;
        if (policy == AckPolicy::DropEveryNth && options.dropEveryNth > 0 && ackCount % options.dropEveryNth == 0)
            drop = true;
        if (policy == AckPolicy::Delayed) delay = options.ackDelayMs;
        if (drop) ++counters.acksDropped;
    }
    if (drop) return;
    std::vector<uint8_t> bytes = EncodeFrame(kCmdAck, nullptr, 0);
    if (policy == AckPolicy::CorruptChecksum) bytes[5] ^= 0xFF;
    QueueReply(std::move(bytes), true, delay);
}

void CSimDisplay::QueueReply(std::vector<uint8_t> bytes, bool isAck, double delayMs) {
    outgoing.push_back({NowMs() + delayMs, std::move(bytes), isAck});
}

double CSimDisplay::NextDueMs() const { return outgoing.empty() ? -1 : outgoing.front().dueMs; }

void CSimDisplay::FlushDue() {
    while (!outgoing.empty() && outgoing.front().dueMs <= NowMs()) {
        Scheduled item = std::move(outgoing.front());
        outgoing.pop_front();
        // Counted before the write, so whoever sees the bytes arrive also sees the count.
        bool trace;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (item.isAck)
                ++counters.acksSent;
            else
                ++counters.identityReplies;
            trace = options.trace;
        }
        bool written = WriteBytes(item.bytes.data(), item.bytes.size());
        if (!written) {
            std::lock_guard<std::mutex> guard(lock);
            ++counters.writeFailures;
        }
        if (trace) {
            Frame f;
            CFrameDecoder check;
            bool valid = false;
            for (uint8_t b : item.bytes) valid = check.Feed(b, &f) || valid;
            std::string note = valid ? Describe(f) : std::string("ack with a corrupted checksum");
            if (!written) note += " [write failed]";
            Trace("->", item.bytes.data(), item.bytes.size(), note.c_str());
        }
        Notify();
    }
}

bool CSimDisplay::WriteBytes(const uint8_t* bytes, size_t count) {
    std::lock_guard<std::mutex> guard(writeLock);
    if (port == INVALID_HANDLE_VALUE || count == 0) return false;
    OVERLAPPED ov{};
    ResetEvent(writeEvent);
    ov.hEvent = writeEvent;
    DWORD written = 0;
    if (!WriteFile(port, bytes, static_cast<DWORD>(count), &written, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING) return false;
        if (WaitForSingleObject(writeEvent, kWriteTimeoutMs) != WAIT_OBJECT_0) CancelIoEx(port, &ov);
        // The overlapped record lives on this stack: always collect the result.
        if (!GetOverlappedResult(port, &ov, &written, TRUE)) return false;
    }
    return written == count;
}

bool CSimDisplay::SendRaw(const uint8_t* bytes, size_t count) {
    if (!bytes) return false;
    bool ok = WriteBytes(bytes, count);
    bool trace;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!ok) ++counters.writeFailures;
        trace = options.trace;
    }
    if (trace) Trace("->", bytes, count, ok ? "raw bytes" : "raw bytes [write failed]");
    return ok;
}

bool CSimDisplay::SendFrame(uint8_t command, const uint8_t* data, size_t length) {
    std::vector<uint8_t> bytes = EncodeFrame(command, data, length);
    if (bytes.empty()) return false;
    // Marked before the write: the driver's ack may come back before WriteBytes returns.
    bool trace;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (IsKeyCommand(command)) {
            ++counters.keyFramesSent;
            keyAckOutstanding = true;
        }
        trace = options.trace;
    }
    bool ok = WriteBytes(bytes.data(), bytes.size());
    if (!ok) {
        std::lock_guard<std::mutex> guard(lock);
        ++counters.writeFailures;
    }
    if (trace) {
        Frame f{command, std::vector<uint8_t>(data, data + length)};
        std::string note = Describe(f);
        if (!ok) note += " [write failed]";
        Trace("->", bytes.data(), bytes.size(), note.c_str());
    }
    Notify();
    return ok;
}

bool CSimDisplay::PressFunctionKey(uint8_t code) { return SendFrame(kCmdFunctionKey, &code, 1); }

bool CSimDisplay::PressRoutingKey(uint8_t code) { return SendFrame(kCmdRoutingKey, &code, 1); }

bool CSimDisplay::TypeCharacter(uint16_t code) {
    uint8_t data[2] = {static_cast<uint8_t>(code & 0xFF), static_cast<uint8_t>(code >> 8)};
    return SendFrame(kCmdCharacterKey, data, 2);
}

bool CSimDisplay::SendScanCode(uint16_t code) {
    uint8_t data[2] = {static_cast<uint8_t>(code & 0xFF), static_cast<uint8_t>(code >> 8)};
    return SendFrame(kCmdScanCode, data, 2);
}

void CSimDisplay::SetAckPolicy(AckPolicy policy, DWORD delayMs, int dropEveryNth) {
    std::lock_guard<std::mutex> guard(lock);
    options.ack = policy;
    options.ackDelayMs = delayMs;
    options.dropEveryNth = dropEveryNth;
    ackCount = 0;
}

void CSimDisplay::SetAnswerIdentify(bool answer) {
    std::lock_guard<std::mutex> guard(lock);
    options.answerIdentify = answer;
}

void CSimDisplay::SetSilent(bool on) {
    std::lock_guard<std::mutex> guard(lock);
    silent = on;
}

void CSimDisplay::SetTrace(bool on) {
    std::lock_guard<std::mutex> guard(lock);
    options.trace = on;
}

void CSimDisplay::SetDisplayCallback(DisplayCallback callback) {
    std::lock_guard<std::mutex> guard(lock);
    displayCallback = std::move(callback);
}

std::array<uint8_t, kImageCells> CSimDisplay::Cells() const {
    std::lock_guard<std::mutex> guard(lock);
    return cells;
}

std::vector<uint8_t> CSimDisplay::HostTextCells() const {
    std::lock_guard<std::mutex> guard(lock);
    size_t n = std::min(static_cast<size_t>(std::max(options.textCells, 0)), kFrameTextCells);
    std::vector<uint8_t> host(n);
    for (size_t i = 0; i < n; ++i) host[i] = DeviceToHostDots(cells[kStatusCells + i]);
    return host;
}

std::string CSimDisplay::RenderText() const { return CellsToUnicodeBraille(HostTextCells()); }

std::string CSimDisplay::RenderLine() const {
    std::array<uint8_t, kImageCells> image = Cells();
    uint8_t status[kStatusCells];
    for (size_t i = 0; i < kStatusCells; ++i) status[i] = DeviceToHostDots(image[i]);
    return CellsToUnicodeBraille(status, kStatusCells) + RenderText();
}

Counters CSimDisplay::GetCounters() const {
    std::lock_guard<std::mutex> guard(lock);
    return counters;
}

std::vector<ReceivedFrame> CSimDisplay::Log() const {
    std::lock_guard<std::mutex> guard(lock);
    return std::vector<ReceivedFrame>(log.begin(), log.end());
}

bool CSimDisplay::KeyAckOutstanding() const {
    std::lock_guard<std::mutex> guard(lock);
    return keyAckOutstanding;
}

void CSimDisplay::ClearHistory() {
    {
        std::lock_guard<std::mutex> guard(lock);
        counters = Counters();
        log.clear();
    }
    Notify();
}

void CSimDisplay::Notify() {
    {
        std::lock_guard<std::mutex> guard(changeLock);
        ++generation;
    }
    changed.notify_all();
}

bool CSimDisplay::WaitFor(const std::function<bool()>& cond, DWORD timeoutMs) const {
    const double deadline = NowMs() + timeoutMs;
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> guard(changeLock);
            seen = generation;
        }
        if (cond()) return true;
        double left = deadline - NowMs();
        if (left <= 0) return cond();
        // Also wake now and then: the condition may depend on things outside this display.
        auto slice = std::chrono::milliseconds(static_cast<long long>(std::min(left, 20.0)) + 1);
        std::unique_lock<std::mutex> guard(changeLock);
        changed.wait_for(guard, slice, [&] { return generation != seen; });
    }
}

bool CSimDisplay::WaitForDisplayFrames(uint32_t count, DWORD timeoutMs) const {
    return WaitFor([&] { return GetCounters().displayFrames >= count; }, timeoutMs);
}

bool CSimDisplay::WaitForIdentifyRequests(uint32_t count, DWORD timeoutMs) const {
    return WaitFor([&] { return GetCounters().identifyRequests >= count; }, timeoutMs);
}

bool CSimDisplay::WaitForIdentifyDone(uint32_t count, DWORD timeoutMs) const {
    return WaitFor([&] { return GetCounters().identifyDone >= count; }, timeoutMs);
}

bool CSimDisplay::WaitForAcksReceived(uint32_t count, DWORD timeoutMs) const {
    return WaitFor([&] { return GetCounters().acksReceived >= count; }, timeoutMs);
}

bool CSimDisplay::WaitForAcksSent(uint32_t count, DWORD timeoutMs) const {
    return WaitFor([&] { return GetCounters().acksSent >= count; }, timeoutMs);
}

bool CSimDisplay::WaitForText(DWORD timeoutMs) const {
    return WaitFor(
        [&] {
            std::array<uint8_t, kImageCells> c = Cells();
            return std::any_of(c.begin(), c.end(), [](uint8_t b) { return b != 0; });
        },
        timeoutMs);
}

void CSimDisplay::Trace(const char* direction, const uint8_t* bytes, size_t count, const char* note) {
    FILE* out;
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard<std::mutex> guard(lock);
        out = options.traceOut;
        sink = options.traceLine;
    }
    if (!out && !sink) return;
    char head[32];
    snprintf(head, sizeof head, "[%10.1f] ", NowMs());
    const std::string line =
        head + std::string(direction) + " " + HexBytes(bytes, count) + (count ? "  " : "") + note + "\n";
    if (sink) return sink(line);
    static std::mutex traceLock;  // lines of several displays or threads stay whole
    std::lock_guard<std::mutex> guard(traceLock);
    fputs(line.c_str(), out);
    fflush(out);
}

}  // namespace sim
