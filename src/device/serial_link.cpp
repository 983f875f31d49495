#include "device/serial_link.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "device/serial/serial.h"

using namespace protocol;

namespace {
constexpr LONG kStatusCancelled = static_cast<LONG>(0xC0000120L);

std::unique_ptr<CSerial> MakeSystemPort(void*, IPlatform& platform) {
    return std::unique_ptr<CSerial>(new (std::nothrow) CSerial(platform));
}
}  // namespace

CSerialLink::CSerialLink(IPlatform& platform, ILinkEvents& events)
    : platform(platform), events(events), makePort(&MakeSystemPort), makePortContext(nullptr) {}

CSerialLink::~CSerialLink() { Close(); }

void CSerialLink::SetPortMaker(PortMaker maker, void* context) {
    makePort = maker ? maker : &MakeSystemPort;
    makePortContext = context;
}

bool CSerialLink::SetPortName(const char* name) {
    // The name may be portName itself: copy through a local.
    char copy[kPortNameSize] = {};
    const size_t length = name ? strnlen(name, kPortNameSize) : 0;
    const bool fits = length < static_cast<size_t>(kPortNameSize);
    if (fits) std::memcpy(copy, name ? name : "", length);
    for (char& c : copy)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    std::memcpy(portName, copy, sizeof portName);
    return fits;
}

LinkOpen CSerialLink::Open(DWORD waitMs) {
    // A port opened only to probe gives way to a real open; an open still on
    // its way is carried on.
    if (probing && !StillOpening()) ClosePort();
    if (portName[0] && OpenPort(waitMs)) {
        if (Identify()) {
            if (!StartRead()) portFailed = true;  // acted on by the first poll
            return LinkOpen::Answered;
        }
        ClosePort();
        return LinkOpen::Silent;
    }
    // An open still on its way after waitMs (a Bluetooth port connects inside
    // it) is kept as the search's first try.
    if (StillOpening())
        probing = true;
    else
        ClosePort();
    return LinkOpen::Absent;
}

void CSerialLink::Close() { ClosePort(); }

void CSerialLink::CloseForSearch() {
    if (StillOpening())
        probing = true;
    else
        ClosePort();
}

bool CSerialLink::IsOpen() const { return port && !port->IsOpening() && !probing; }

HANDLE CSerialLink::InputEvent() const { return IsOpen() && input && input->pending ? input->event.Get() : nullptr; }

bool CSerialLink::StillOpening() const { return port && port->IsOpening(); }

// True when the port is open; false when the open failed (no port object is
// left) or is still on its way after `waitMs`, the port object keeping it.
bool CSerialLink::OpenPort(DWORD waitMs) {
    if (port && !port->IsOpening()) return false;  // never opened twice
    if (!port) port = makePort(makePortContext, platform);
    if (!port) return false;
    portFailed = false;
    port->SetOpenWait(waitMs);
    const LONG opened = port->Open(portName, 0, 0, true);
    if (opened == ERROR_IO_PENDING && port->IsOpening()) return false;
    if (opened != 0) {
        ClosePort();
        return false;
    }
    port->Configure(kBaudRate, 8, 0, 0);
    // What reached the port while the link had it closed (keys pressed during
    // a suspension, a lend or a search's pause) is old: a pty keeps it, and so
    // does a USB-serial adapter's own buffer.
    port->Purge();
    return true;
}

// A new connection starts with nothing awaited and no time-out counted; a
// frame still held stays for the owner to show or drop.
void CSerialLink::ClosePort() {
    SettleRead();
    readWaits = false;
    earlyEnds = 0;
    if (port) port->Close();
    port.reset();
    probing = false;
    portFailed = false;
    awaitingAck = false;
    timeouts = 0;
}

void CSerialLink::TakePortNumber() {
    const char* com = std::strstr(portName, "COM");
    portNumber = com ? static_cast<int32_t>(std::strtol(com + 3, nullptr, 10)) : 0;
}

// The request goes out at once and again each quarter of the budget; the
// answer is read a byte per step. The steps are counted, not timed: each
// lasts until the clock has moved more than a step.
bool CSerialLink::Identify() {
    TakePortNumber();
    SendFrame(kCmdIdentify, 0, nullptr);
    const int budget = static_cast<int>(kIdentifyBudgetMs);
    int resendMark = budget / 4;
    for (int elapsed = 0; elapsed < budget; elapsed += kIdentifyStepMs) {
        bool identity = false;
        if (!ReadAndHandle(1, identity) || portFailed) return false;
        if (identity) {
            const uint8_t done = 0;
            SendFrame(kCmdIdentifyDone, 1, &done);
            return true;
        }
        if (elapsed >= resendMark) {
            SendFrame(kCmdIdentify, 0, nullptr);
            resendMark += budget / 4;
        }
        BusyWait(platform, kIdentifyStepMs);
    }
    return false;
}

bool CSerialLink::ReadAndHandle(DWORD size, bool& identity) {
    if (!port) return false;  // closed by the owner from inside an event
    uint8_t buffer[kPollReadSize];
    if (size > sizeof buffer) size = sizeof buffer;
    DWORD count = 0;
    const LONG read = port->Read(buffer, size, &count, nullptr, INFINITE);
    for (DWORD i = 0; i < count && i < size; ++i)
        if (const CSerialFrame* frame = decoder.Feed(buffer[i])) identity = Handle(*frame) || identity;
    return !CSerial::IsPortFailure(read);
}

// Decoded, then handled: acknowledged first, then acted on. True for the
// display's identity.
bool CSerialLink::Handle(const CSerialFrame& frame) {
    if (frame.command == kCmdAck) {
        awaitingAck = false;
        timeouts = 0;
        return false;
    }
    SendFrame(kCmdAck, 0, nullptr);
    const uint8_t* d = frame.data;
    switch (frame.command) {
    case kCmdFunctionKey:
        events.OnFunctionKey(d[0]);
        break;
    case kCmdRoutingKey:
        events.OnRoutingKey(d[0]);
        break;
    case kCmdCharacterKey:
        events.OnCharacter(static_cast<uint16_t>(d[0] + 256 * d[1]));
        break;
    case kCmdScanCode:
        events.OnScanCode(static_cast<uint16_t>(d[0] + 256 * d[1]));
        break;
    case kCmdIdentity:
        textCells = d[0];
        deviceVersion[0] = d[4];
        deviceVersion[1] = d[5];
        return true;
    default:
        break;
    }
    return false;
}

void CSerialLink::SendFrame(uint8_t command, uint8_t length, const uint8_t* data) {
    if (!port || port->IsOpening() || length > kMaxFrameData) return;
    uint8_t frame[kMaxFrameData + kFrameOverhead];
    const size_t size = EncodeSerialFrame(command, length, data, frame);
    // A dead port is acted on by the poll, not here: this may run inside the
    // loop over the bytes read, which goes on with them.
    if (CSerial::IsPortFailure(port->Write(frame, static_cast<DWORD>(size), nullptr, nullptr, kSerialWriteTimeoutMs)))
        portFailed = true;
    lastSendMs = platform.NowMs();
}

void CSerialLink::SendCells(const uint8_t* cells) {
    if (!IsOpen()) return;
    if (awaitingAck) {
        std::memcpy(held, cells, sizeof held);
        holding = true;
        return;
    }
    SendFrame(kCmdDisplay, kFrameCells, cells);
    awaitingAck = true;
    // A frame still held is older than this one (left from before an outage):
    // released later, it would replace the newer image.
    holding = false;
}

void CSerialLink::ShowImageAgain() {
    awaitingAck = false;
    holding = false;
    SendCells(events.CellImage());
}

void CSerialLink::Poll() {
    if (!IsOpen()) return;
    bool identity = false;
    // A dead port (a pulled adapter, a dropped Bluetooth link) ends the link
    // at once, also on a quiet link where no acknowledgement is awaited.
    // The outstanding read's byte first, then what is queued behind it. While
    // it is still outstanding nothing is: it takes the first byte to come, and
    // a read past it would put that byte after the rest.
    const bool outstanding = input && input->pending && !HasOverlappedIoCompleted(&input->overlapped);
    DWORD taken = 0;
    if (!TakeRead(taken) || portFailed) return Lost();
    if (!IsOpen()) return;  // closed by its owner from inside an event
    if (!(readWaits && outstanding) && (!ReadAndHandle(kPollReadSize - taken, identity) || portFailed)) return Lost();
    if (!IsOpen()) return;
    if (awaitingAck && static_cast<DWORD>(platform.NowMs() - lastSendMs) > kSerialAckTimeoutMs) {
        awaitingAck = false;
        // The display stopped answering: it is looked for as after a removal.
        if (timeouts >= kSerialTimeoutsTolerated) return Lost();
        ++timeouts;
    }
    if (!awaitingAck && holding) {
        SendCells(held);
        if (portFailed) return Lost();
    }
    if (!StartRead()) Lost();
}

bool CSerialLink::TakeRead(DWORD& taken) {
    if (!input || !input->pending || !HasOverlappedIoCompleted(&input->overlapped)) return true;
    input->pending = false;
    const LONG status = static_cast<LONG>(input->overlapped.Internal);
    const bool byte = status >= 0 && input->overlapped.InternalHigh != 0;
    // A driver that ends every read at once without a byte would have the
    // worker spin on the read's event: after a few such reads in a row the
    // link reads on the tick instead (StartRead).
    earlyEnds = byte || platform.NowMs() - readIssuedMs >= kEarlyEndMs ? 0 : earlyEnds + 1;
    // A read cancelled by the port's own write time-out (a cancel reaches all
    // of the thread's I/O) is issued anew; any other failure is the port's.
    if (status < 0) return status == kStatusCancelled;
    if (!byte) return true;  // ended empty after its bound
    taken = 1;
    if (const CSerialFrame* frame = decoder.Feed(input->byte)) Handle(*frame);
    return true;
}

// A read that finds bytes waiting ends at once: its event is signalled with
// something to take, and the owner polls again straight away. The event is
// signalled only when the read has ended, so it is never stale.
bool CSerialLink::StartRead() {
    if (!IsOpen() || (input && input->pending)) return true;
    if (earlyEnds >= kEarlyEndsTolerated) return ReadOnTheTick();
    if (!input) {
        std::unique_ptr<CInputRead> made(new (std::nothrow) CInputRead);
        if (made) made->event.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (!made || !made->event) return true;  // none to be had: input waits for the tick
        input = std::move(made);
    }
    if (!readWaits) {
        if (CSerial::IsPortFailure(port->SetReadWait(kReadWaitMs))) return false;
        readWaits = true;
    }
    ResetEvent(input->event.Get());
    std::memset(&input->overlapped, 0, sizeof input->overlapped);
    input->overlapped.hEvent = input->event.Get();
    const LONG issued = port->Read(&input->byte, 1, nullptr, &input->overlapped, INFINITE);
    // Bytes a late read collected come first: read at once until they are taken.
    if (issued == ERROR_BUSY) return ReadOnTheTick();
    if (CSerial::IsPortFailure(issued)) return false;
    input->pending = true;
    readIssuedMs = platform.NowMs();
    return true;
}

bool CSerialLink::ReadOnTheTick() {
    if (!readWaits) return true;
    readWaits = false;
    return !CSerial::IsPortFailure(port->SetReadMode(CSerial::ReadImmediate));
}

void CSerialLink::SettleRead() {
    if (!input || !input->pending) return;
    if (!HasOverlappedIoCompleted(&input->overlapped) && port) {
        CSerial::cancelIoEx(port->Handle(), &input->overlapped);
        port->Close();  // a driver that ignores the cancel ends it at the close
        WaitForSingleObject(input->event.Get(), kReadCancelMs);
    }
    if (HasOverlappedIoCompleted(&input->overlapped)) {
        input->pending = false;
        return;
    }
    // The system may still write the record and the buffer: given up, not freed.
    (void)input.release();
}

void CSerialLink::Lost() {
    ClosePort();
    events.OnLost();
}

bool CSerialLink::Search(bool due) {
    if (port && probing) {
        if (StillOpening()) {
            // An open from an earlier tick: taken once it has returned, never waited for.
            if (OpenPort(0)) SendIdentifyRequest();
        } else if (TakeProbeAnswer()) {
            return true;
        }
    }
    if (!due || !portName[0] || StillOpening()) return false;
    if (!port) {
        const bool opened = OpenPort(kProbeOpenWaitMs);
        if (port) probing = true;
        if (!opened) return false;
    }
    SendIdentifyRequest();
    return false;
}

// The search's identification request on the probe port. A probe port that
// fails is dead: it goes, and the next search opens the port anew (a
// replugged adapter comes back under the same name).
void CSerialLink::SendIdentifyRequest() {
    SendFrame(kCmdIdentify, 0, nullptr);
    if (portFailed) ClosePort();
}

// Reads what the display sent to the probe's port; true once it identified
// itself: the link runs again.
bool CSerialLink::TakeProbeAnswer() {
    bool identity = false;
    if (!ReadAndHandle(kPollReadSize, identity) || portFailed) {
        ClosePort();
        return false;
    }
    if (!identity) return false;
    probing = false;
    timeouts = 0;
    const uint8_t done = 0;
    SendFrame(kCmdIdentifyDone, 1, &done);
    if (!StartRead()) portFailed = true;  // acted on by the first poll
    return true;
}
