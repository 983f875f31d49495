// Device connection and poll cycle: opens the display (USB first, then the
// serial port), keeps the outgoing cell image in the display's dot order, and
// every 100 ms tick reads input, watches acknowledgements and recovers.
//
// The link's state (LinkState) changes only here, through SetLink:
//
//   Closed --open--> Opening --display answered--> Running
//   Opening --no display--> Closed (first open) or Searching (resume, restore)
//   Running --read/write/status query failed, acknowledgement lost for good--> Searching
//   Searching --once a second: USB, then the serial port--> Running
//   Running(serial) --port lent--> Lent --port given back--> Opening
//   any --host suspends--> Suspended --host resumes--> Opening
//   any --close--> Closed
//
// A USB display keeps running while the serial port is lent.
#include <cstring>

#include "device/serial/serial.h"
#include "driver/driver.h"

namespace {
constexpr uint32_t kHidAckTimeoutMs = 1000;
constexpr uint32_t kSerialAckTimeoutMs = 400;
constexpr uint32_t kSearchIntervalMs = 1000;  // retry period while the display is away
constexpr int kPollReadSize = 80;
// How long the worker waits for the system to open the serial port. The host's
// start waits longest (a Bluetooth port connects inside the open); a resume or
// a restore leaves a slow open to the search, which never waits for more than
// a moment and takes the port on a later tick, so that Suspend, Terminate and
// the handover are never held behind an open.
constexpr DWORD kFirstOpenWaitMs = 5000;
constexpr DWORD kReturnOpenWaitMs = 500;
constexpr DWORD kSearchOpenWaitMs = 50;
// Input reports taken per tick: as many as Windows' HID class driver keeps
// for a handle by default, so none is dropped between two ticks.
constexpr int kMaxReportsPerTick = 32;
// Serial acknowledgement time-outs in a row that the link survives; the next
// one gives the display up and starts the search.
constexpr uint8_t kSerialTimeoutsTolerated = 3;
// failureCount while the display is searched for (no frame but acknowledgements goes out).
constexpr uint8_t kFailureCountSearching = kSerialTimeoutsTolerated + 1;

// Host bit k moves to device bit kDeviceBit[k].
constexpr int kDeviceBit[8] = {3, 2, 1, 7, 6, 5, 0, 4};
}  // namespace

uint8_t CBrailleSampleDriver::TranslateDots(uint8_t b) {
    uint8_t out = 0;
    for (int k = 0; k < 8; ++k)
        if (b & (1u << k)) out = static_cast<uint8_t>(out | (1u << kDeviceBit[k]));
    return out;
}

void CBrailleSampleDriver::SetLink(LinkState next) {
    link = next;
    opening = next == LinkState::Opening ? 1 : 0;
    switch (next) {
    case LinkState::Opening:
    case LinkState::Running:
        // A new connection starts counting from zero (with 4 left from a
        // search, nothing could be sent to identify the display).
        failureCount = 0;
        break;
    case LinkState::Searching:
        failureCount = kFailureCountSearching;
        probeTick = platform->NowMs();
        break;
    default:
        break;
    }
}

void CBrailleSampleDriver::CloseHidHandles() {
    if (hidHandle || hidReadHandle) SettleHidIo();
    if (hidHandle) platform->HidClose(hidHandle);
    if (hidReadHandle) platform->HidClose(hidReadHandle);
    hidHandle = nullptr;
    hidReadHandle = nullptr;
}

void CBrailleSampleDriver::CloseSerialPort() {
    if (serial) {
        serial->Close();
        delete serial;
        serial = nullptr;
    }
    probePortOpen = 0;
    serialFailed = 0;
}

// A read or write on the display's handles failed (not by our own cancel):
// the display is gone. Searching for it starts at once.
void CBrailleSampleDriver::HidLinkFailed() {
    CloseHidHandles();
    if (link == LinkState::Running) StartSearch();
}

// Looks for a USB display and runs the hello: 1 when it answered (40 text
// cells, no status cells), 0 when one was found but stayed silent, -1 when
// there is none.
int CBrailleSampleDriver::OpenHidLink() {
    if (!FindHidDevice()) return -1;
    const LinkState before = link;
    SetLink(LinkState::Opening);
    const int answered = HidHandshake();
    SetLink(before);
    if (!answered || !hidHandle) {
        CloseHidHandles();
        return 0;
    }
    usingHid = 1;
    textCells = 40;
    statusCells = 0;
    return 1;
}

// Whether the serial port object only waits for its open to return.
static bool StillOpening(const CSerial* serial) { return serial && serial->IsOpening(); }

int CBrailleSampleDriver::OpenDevice(const char* name) {
    const bool away = link == LinkState::Searching || link == LinkState::Lent;
    const DWORD openWait = link == LinkState::Closed ? kFirstOpenWaitMs : kReturnOpenWaitMs;
    // A restore on the USB link re-opens an open display: release the old
    // handles first instead of leaking them.
    if (hidHandle || hidReadHandle) CloseHidHandles();
    // A port opened only to probe for a returning display gives way to a real
    // open; an open still on its way is carried on.
    if (probePortOpen && !StillOpening(serial)) CloseSerialPort();

    usingHid = 0;
    // A name that does not fit the field is refused as a whole (an empty name
    // opens no serial port) rather than cut into the name of another port.
    // The name may be portName itself (resume, restore): copy through a local.
    char copy[kPortNameSize] = {};
    if (name && strnlen(name, kPortNameSize) < static_cast<size_t>(kPortNameSize))
        std::memcpy(copy, name, strnlen(name, kPortNameSize - 1));
    std::memcpy(portName, copy, sizeof portName);
    for (char& c : portName)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');

    SetLink(LinkState::Opening);
    const int usb = OpenHidLink();
    if (usb > 0) {
        SetLink(LinkState::Running);
        if (away) ShowImageAgain();
        return 1;
    }
    if (usb == 0) {
        // A USB display that does not answer fails the open; the serial port is not tried.
        SetLink(LinkState::Closed);
        return 0;
    }

    // While another program has borrowed the serial port, neither a resume nor
    // a new Initialize may take it from under it; the restore re-opens it. The
    // USB display above has nothing to do with the lent port.
    if (handover.Lent() || !portName[0] || !OpenSerialPort(openWait)) {
        // An open still on its way is left to the search that follows a resume
        // or a restore (a failed start closes everything).
        if (StillOpening(serial) && !handover.Lent())
            probePortOpen = 1;
        else
            CloseSerialPort();
        SetLink(LinkState::Closed);
        return 0;
    }
    if (!IdentifySerialDevice()) {
        CloseSerialPort();
        SetLink(LinkState::Closed);
        return 0;
    }
    SetLink(LinkState::Running);
    if (away) ShowImageAgain();
    return 1;
}

void CBrailleSampleDriver::CloseDevice() {
    CloseHidHandles();
    CloseSerialPort();
    SetLink(LinkState::Closed);
}

// The display is back after an outage: it shows the newest image, and nothing
// held back from before the outage follows it.
void CBrailleSampleDriver::ShowImageAgain() {
    awaitingAck = 0;
    pendingValid = 0;
    hidRing.Clear();
    if (usingHid)
        ResendCellImage();
    else
        SendFrame(0x00, kFrameCells, cellImage);
}

void CBrailleSampleDriver::PlaceCells(uint32_t first, const uint8_t* cells, uint32_t count) {
    // Positions past the image are never sent; they are dropped, not written.
    for (uint32_t k = 0; k < count && first + k < static_cast<uint32_t>(kCellImageSize); ++k)
        cellImage[first + k] = TranslateDots(cells[k]);
}

// Writes always reach the cell image, also while the display is away or the
// port lent: the display shows the newest image when it is back.
void CBrailleSampleDriver::SendTextCells(const uint8_t* cells, uint32_t count) {
    PlaceCells(statusCells > 0 ? static_cast<uint32_t>(statusCells) : 0, cells, count);
    if (link != LinkState::Running) return;
    if (usingHid)
        WriteCellsHid(cellImage);
    else if (serial && !suspended)
        SendFrame(0x00, kFrameCells, cellImage);
}

void CBrailleSampleDriver::SendAllCells(const uint8_t* cells, uint32_t count) {
    if (count == 0) return;
    PlaceCells(0, cells, count);
    if (link != LinkState::Running) return;
    if (usingHid)
        WriteCellsHid(cellImage);
    else if (serial && !suspended)
        SendFrame(0x00, kFrameCells, cellImage);
}

void CBrailleSampleDriver::SendBlankCells() {
    const uint8_t blank[kFrameCells] = {};
    if (link != LinkState::Running) return;
    if (usingHid)
        WriteCellsHid(blank);
    else
        SendFrame(0x00, kFrameCells, blank);
}

void CBrailleSampleDriver::ResendCellImage() { WriteCellsHid(cellImage); }

// Suspend(1) carried out on the worker itself: it must not wait for its own
// signal. The key window belongs to the host's thread and stays.
void CBrailleSampleDriver::SuspendFromWorker() {
    suspended = 1;
    SuspendLink();
}

void CBrailleSampleDriver::SuspendLink() {
    CloseHidHandles();
    CloseSerialPort();
    SetLink(LinkState::Suspended);
}

// The display went away or was not there: close what is left and look for it
// once a second. Host writes go on updating the cell image meanwhile.
void CBrailleSampleDriver::StartSearch() {
    CloseHidHandles();
    // An open still on its way (a slow Bluetooth port) is the search's first try.
    if (StillOpening(serial))
        probePortOpen = 1;
    else
        CloseSerialPort();
    awaitingAck = 0;
    hidRing.Clear();
    SetLink(LinkState::Searching);
}

// Once a second (on the 100 ms tick, never a busy wait): a USB display first,
// as OpenDevice does, then the serial port. On the serial port one
// identification request goes out and the answer is read on later ticks.
void CBrailleSampleDriver::SearchForDisplay() {
    if (serial && probePortOpen) {
        if (StillOpening(serial)) {
            // An open from an earlier tick: taken once it has returned, never waited for.
            if (OpenSerialPort(0)) SendSearchRequest();
        } else {
            ProbeReturningDisplay();
            if (link != LinkState::Searching) return;
        }
    }
    if (static_cast<uint32_t>(platform->NowMs() - probeTick) < kSearchIntervalMs) return;
    probeTick = platform->NowMs();
    if (OpenHidLink() > 0) {
        CloseSerialPort();
        SetLink(LinkState::Running);
        ShowImageAgain();
        return;
    }
    // A lent port belongs to the other program until it is given back.
    if (handover.Lent() || !portName[0] || StillOpening(serial)) return;
    if (!serial) {
        const int opened = OpenSerialPort(kSearchOpenWaitMs);
        if (serial) probePortOpen = 1;
        if (!opened) return;
    }
    SendSearchRequest();
}

// The search's identification request on the probe port.
void CBrailleSampleDriver::SendSearchRequest() {
    if (!serial) return;
    uint8_t frame[8];
    const size_t size = EncodeSerialFrame(0x24, 0, nullptr, frame);
    // A probe port that fails is dead: it goes, and the next search opens the
    // port anew (a replugged adapter comes back under the same name).
    if (CSerial::IsPortFailure(serial->Write(frame, static_cast<DWORD>(size), nullptr, nullptr, 1000)))
        CloseSerialPort();
}

// Reads what the display sent to the probe's port. When it identified itself,
// the serial link runs again and shows the newest image.
void CBrailleSampleDriver::ProbeReturningDisplay() {
    uint8_t buffer[kPollReadSize];
    DWORD count = 0;
    identified = 0;
    const LONG read = serial->Read(buffer, sizeof buffer, &count, nullptr, INFINITE);
    // What the display sends while it is looked for is acknowledged like any frame.
    probeReading = 1;
    for (DWORD i = 0; i < count && i < sizeof buffer; ++i) FeedByte(buffer[i]);
    probeReading = 0;
    if (CSerial::IsPortFailure(read) || serialFailed) {
        CloseSerialPort();
        return;
    }
    if (!identified) return;
    probePortOpen = 0;
    usingHid = 0;
    SetLink(LinkState::Running);
    const uint8_t done = 0x00;
    SendFrame(0x26, 1, &done);
    ShowImageAgain();
}

void CBrailleSampleDriver::PollHid() {
    if (!hidHandle) {
        StartSearch();
        return;
    }
    // Every report already queued, up to what the HID class driver keeps: an
    // acknowledgement never waits behind keys.
    uint8_t payload[kHidPayloadSize];
    for (int n = 0; n < kMaxReportsPerTick && ReadHidReport(payload) == 9; ++n) HandleHidReport(payload);
    if (link != LinkState::Running) return;  // the read found the display gone

    if (awaitingAck && static_cast<uint32_t>(platform->NowMs() - lastSendTick) > kHidAckTimeoutMs) {
        // Queued frames are dropped: the newest text is in the cell image, which is re-sent.
        CloseHidHandles();
        awaitingAck = 0;
        hidRing.Clear();
        if (FindHidDevice())
            ResendCellImage();
        else
            StartSearch();
        return;
    }
    // Only the newest queued frame is sent; cells 40 and 41, which a slot does
    // not keep, come from the cell image.
    if (!awaitingAck && !hidRing.Empty()) {
        uint8_t frame[kFrameCells];
        std::memcpy(frame, hidRing.Newest(), kRingSlotSize);
        frame[40] = cellImage[40];
        frame[41] = cellImage[41];
        hidRing.Clear();
        SendHidFrame(frame);
    }
}

void CBrailleSampleDriver::PollSerial() {
    if (!serial) return;
    uint8_t buffer[kPollReadSize];
    DWORD count = 0;
    const LONG read = serial->Read(buffer, sizeof buffer, &count, nullptr, INFINITE);
    for (DWORD i = 0; i < count && i < sizeof buffer; ++i) FeedByte(buffer[i]);
    // A dead port (a pulled adapter, a dropped Bluetooth link) ends the link at
    // once, also on a quiet link where no acknowledgement is awaited.
    if (CSerial::IsPortFailure(read) || serialFailed) {
        StartSearch();
        return;
    }

    if (awaitingAck && static_cast<uint32_t>(platform->NowMs() - lastSendTick) > kSerialAckTimeoutMs) {
        awaitingAck = 0;
        if (failureCount >= kSerialTimeoutsTolerated) {
            // The display stopped answering: look for it as after a removal.
            StartSearch();
            return;
        }
        ++failureCount;
    }
    if (!awaitingAck && pendingValid) {
        SendFrame(pendingCommand, pendingLength, pendingData);
        pendingValid = 0;
        if (serialFailed) StartSearch();
    }
}

void CBrailleSampleDriver::PollTick() {
    ServiceHandover();
    // The host's suspension counts from its call on; its command follows.
    if (suspended) return;
    switch (link) {
    case LinkState::Searching:
        SearchForDisplay();
        return;
    case LinkState::Running:
        // A lent serial port closed the serial link (Lent); a USB link goes on.
        if (usingHid)
            PollHid();
        else
            PollSerial();
        return;
    default:
        return;  // closed, opening, suspended by the host, port lent
    }
}
