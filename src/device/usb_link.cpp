#include "device/usb_link.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

namespace {
using protocol::kFrameCells;

// Reports are built in, and read into, buffers of this size; a device that
// declares longer reports is not one this driver can talk to.
constexpr DWORD kMaxReportSize = sizeof(CHidIo::report);
// A device path is a few hundred bytes; anything far beyond is not trusted.
constexpr DWORD kMaxDetailSize = 32 * 1024;
// Input reports taken per poll: as many as Windows' HID class driver keeps for
// a handle by default, so none is dropped between two polls.
constexpr int kMaxReportsPerPoll = 32;

// The display is opened for reading and writing, shared with other programs.
constexpr DWORD kHidAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kHidShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The sizes SetupAPI expects in cbSize from 64-bit code.
static_assert(sizeof(void*) != 8 || sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "interface data size");
static_assert(sizeof(void*) != 8 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "detail size");

void CloseHid(void* platform, HANDLE h) { static_cast<IPlatform*>(platform)->HidClose(h); }
void DestroySet(void* platform, HANDLE set) { static_cast<IPlatform*>(platform)->SetupDestroyDeviceInfoList(set); }

struct FreeMemory {
    void operator()(void* p) const { std::free(p); }
};

DWORD ReportLength(USHORT declared) {
    if (declared < protocol::kHidReportSize) return protocol::kHidReportSize;
    if (declared > kMaxReportSize) return kMaxReportSize;
    return declared;
}

// Reports shorter than ID + payload cannot carry the protocol; longer ones
// than the report buffers would be refused by the HID stack on every call.
bool UsableLength(USHORT declared) { return declared >= protocol::kHidReportSize && declared <= kMaxReportSize; }
}  // namespace

// ---- frame ring and operation blocks ----

void CFrameRing::Push(const uint8_t* cells) {
    std::memcpy(slots[write], cells, kRingSlotSize);
    write = (write + 1) % kRingSlots;
    if (write == read) read = (read + 1) % kRingSlots;  // full: the oldest goes
}

const uint8_t* CFrameRing::Newest() const {
    if (Empty()) return nullptr;
    return slots[(write + kRingSlots - 1) % kRingSlots];
}

CHidIo* CHidIo::New() {
    auto* io = static_cast<CHidIo*>(std::calloc(1, sizeof(CHidIo)));
    if (!io) return nullptr;
    io->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!io->event) {
        std::free(io);
        return nullptr;
    }
    return io;
}

void CHidIo::Free(CHidIo* io) {
    CloseHandle(io->event);
    std::free(io);
}

OVERLAPPED* CHidIo::Start() {
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = event;
    inFlight = 1;
    return &overlapped;
}

// ---- the link ----

CUsbLink::CUsbLink(IPlatform& platform, ILinkEvents& events) : platform(platform), events(events) {}

CUsbLink::~CUsbLink() {
    Close();
    Reap();
    for (CHidIo** io : {&readIo, &writeIo}) {
        if (*io && !(*io)->inFlight) CHidIo::Free(*io);
        *io = nullptr;
    }
}

LinkOpen CUsbLink::Open(DWORD) {
    Close();
    if (!Find()) return LinkOpen::Absent;
    if (Hello() && IssueRead()) return LinkOpen::Answered;
    Close();
    return LinkOpen::Silent;
}

void CUsbLink::Close() {
    CloseHandles();
    awaitingAck = false;
    ring.Clear();
}

bool CUsbLink::Search(bool due) { return due && Open(0) == LinkOpen::Answered; }

void CUsbLink::SendCells(const uint8_t* cells) {
    if (!cells || !IsOpen()) return;
    if (awaitingAck) {
        ring.Push(cells);
        return;
    }
    // Anything still held is older than this frame: it must never follow it.
    ring.Clear();
    if (!SendFrame(cells)) Lost();
}

void CUsbLink::ShowImageAgain() {
    awaitingAck = false;
    ring.Clear();
    SendCells(events.CellImage());
}

void CUsbLink::Poll() {
    if (!IsOpen()) return;
    // Every report already there, up to what the HID class driver keeps: an
    // acknowledgement never waits behind keys. A read still pending stays so.
    HidInput input{};
    for (int n = 0; n < kMaxReportsPerPoll; ++n) {
        const ReadResult read = ReadReport(input);
        if (read == ReadResult::Failed) {
            Lost();
            return;
        }
        if (read == ReadResult::Nothing) break;
        Handle(input);
    }
    if (awaitingAck && static_cast<uint32_t>(platform.NowMs() - lastSendTick) > protocol::kHidAckTimeoutMs) {
        if (!Recover()) return;
    } else if (!awaitingAck && !ring.Empty()) {
        // Only the newest held frame is sent; the cells after a slot's come from the image.
        uint8_t frame[kFrameCells];
        std::memcpy(frame, ring.Newest(), kRingSlotSize);
        std::memcpy(frame + kRingSlotSize, events.CellImage() + kRingSlotSize, kFrameCells - kRingSlotSize);
        ring.Clear();
        if (!SendFrame(frame)) {
            Lost();
            return;
        }
    }
    // The worker sleeps on the read's event: a read is outstanding whenever the
    // link is open, so that event is never set without a report (or a failure) to take.
    if (IsOpen() && !IssueRead()) Lost();
}

// A frame never acknowledged: the display is closed and found again (it is the
// same display, so no hello) and shows the newest image; held frames are dropped.
// False when it is gone: the link is closed and reported lost.
bool CUsbLink::Recover() {
    // A key pressed as the time-out was seen is still the user's.
    if (!TakeReadBeingCancelled()) return false;
    Close();
    if (Find() && SendFrame(events.CellImage())) return true;
    Lost();
    return false;
}

void CUsbLink::Handle(const HidInput& input) {
    if (input.kind == HidInputKind::CellKey) events.OnCellKey(input.code);
    if (input.kind == HidInputKind::FunctionKey) events.OnFunctionKey(input.code);
    if (input.kind == HidInputKind::Ack) awaitingAck = false;
}

bool CUsbLink::TakeReadBeingCancelled() {
    if (!reader || !readIo || !readIo->inFlight || !Cancel(reader.Get(), *readIo)) return true;
    HidInput input{};
    if (CollectRead(input)) Handle(input);
    return IsOpen();
}

// A read or write failed (not by our own cancel): the display is gone.
void CUsbLink::Lost() {
    Close();
    events.OnLost();
}

// ---- finding the display ----

bool CUsbLink::Find() {
    // A re-find while handles are still held would leak them: let them go first.
    CloseHandles();
    Reap();
    if (abandonedCount >= kMaxAbandonedHidIo) return false;

    GUID hidGuid;
    platform.HidGetHidGuid(&hidGuid);
    const CHandle set(platform.SetupGetClassDevs(&hidGuid, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), &DestroySet,
                      &platform);
    if (!set) return false;
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    for (DWORD index = 0; platform.SetupEnumDeviceInterfaces(set.Get(), &hidGuid, index, &data); ++index)
        if (TryInterface(set.Get(), data)) return true;
    return false;
}

// Whether this interface is the display and could be opened.
bool CUsbLink::TryInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data) {
    DWORD required = 0;
    platform.SetupGetDeviceInterfaceDetail(set, &data, nullptr, 0, &required);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || required > kMaxDetailSize) return false;
    // One spare zero byte keeps the path terminated whatever the record holds.
    std::unique_ptr<SP_DEVICE_INTERFACE_DETAIL_DATA_A, FreeMemory> detail(
        static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::calloc(1, required + 1)));
    if (!detail) return false;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!platform.SetupGetDeviceInterfaceDetail(set, &data, detail.get(), required, nullptr)) return false;
    const char* path = detail->DevicePath;
    // Opened with no access only to read its attributes: other devices
    // (keyboards held by the system, displays in use elsewhere) are neither
    // disturbed nor refused; only the display is opened for I/O.
    const CHandle probe(platform.HidOpen(path, 0, kHidShare, 0), &CloseHid, &platform);
    if (!probe) return false;
    HIDD_ATTRIBUTES attributes;
    std::memset(&attributes, 0, sizeof attributes);
    attributes.Size = sizeof attributes;
    return platform.HidGetAttributes(probe.Get(), &attributes) && attributes.VendorID == protocol::kVendorId &&
           attributes.ProductID == protocol::kProductId && attributes.VersionNumber == protocol::kVersionNumber &&
           OpenMatched(probe.Get(), path);
}

// Completes the set-up of the display, read through `probe`: capabilities, the
// operation blocks and the two handles. Anything missing means the display
// cannot be used, so it counts as not found and nothing opened here stays open.
bool CUsbLink::OpenMatched(HANDLE probe, const char* path) {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!platform.HidGetPreparsedData(probe, &preparsed)) return false;
    HIDP_CAPS found;
    std::memset(&found, 0, sizeof found);
    const NTSTATUS status = platform.HidGetCaps(preparsed, &found);
    platform.HidFreePreparsedData(preparsed);
    if (status != HIDP_STATUS_SUCCESS || !UsableLength(found.InputReportByteLength) ||
        !UsableLength(found.OutputReportByteLength))
        return false;
    if (!readIo) readIo = CHidIo::New();
    if (!writeIo) writeIo = CHidIo::New();
    if (!readIo || !writeIo) return false;
    CHandle w(platform.HidOpen(path, kHidAccess, kHidShare, FILE_FLAG_OVERLAPPED), &CloseHid, &platform);
    if (!w) return false;
    CHandle r(platform.HidOpen(path, kHidAccess, kHidShare, FILE_FLAG_OVERLAPPED), &CloseHid, &platform);
    if (!r) return false;
    caps = found;
    writer = std::move(w);
    reader = std::move(r);
    return true;
}

bool CUsbLink::Hello() {
    if (!WriteReport(kHidHelloPayload, platform.NowMs())) return false;
    for (int poll = 0; poll < protocol::kHelloPolls; ++poll) {
        // Anything other than the answer (key presses included) is taken and dropped.
        HidInput input{};
        const ReadResult read = ReadReport(input);
        if (read == ReadResult::Failed) return false;
        if (read == ReadResult::Report && input.kind == HidInputKind::HelloAnswer) {
            info[0] = input.info[0];
            info[1] = input.info[1];
            return true;
        }
        BusyWait(platform, protocol::kHelloPollMs);
    }
    return false;
}

// ---- reports ----

bool CUsbLink::SendFrame(const uint8_t* cells) {
    const uint32_t started = platform.NowMs();
    awaitingAck = true;
    const HidFramePayloads frame = EncodeHidFrame(cells);
    for (int report = 0; report < kHidFrameReports; ++report) {
        if (report == kHidFrameReports - 1) lastSendTick = platform.NowMs();
        if (!WriteReport(frame.payload[report], started)) return false;
    }
    return true;
}

// One output report; every report of a frame shares the frame's write bound.
// False when it failed or was not taken in time: the handles are closed then.
bool CUsbLink::WriteReport(const uint8_t* payload, uint32_t started) {
    if (!writer || !writeIo) {
        CloseHandles();
        return false;
    }
    CHidIo& io = *writeIo;
    const DWORD length = ReportLength(caps.OutputReportByteLength);
    EncodeHidReport(payload, io.report, length);
    // Overlapped: the count comes from the OVERLAPPED, never through a pointer.
    BOOL ok = platform.HidWrite(writer.Get(), io.report, length, nullptr, io.Start());
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        const uint32_t elapsed = platform.NowMs() - started;
        const DWORD left = elapsed < protocol::kHidWriteBoundMs ? protocol::kHidWriteBoundMs - elapsed : 0;
        DWORD written = 0;
        ok = platform.HidWaitOverlapped(writer.Get(), &io.overlapped, &written, left);
        if (!ok && GetLastError() == WAIT_TIMEOUT) {
            // Not taken in time: the display counts as gone. The write keeps its
            // block if the cancel does not end it.
            Settle(writer.Get(), writeIo);
            CloseHandles();
            return false;
        }
    }
    io.inFlight = 0;
    if (!ok) CloseHandles();
    return ok != FALSE;
}

// Issues the input read unless one is outstanding. False when it failed at
// once (e.g. the display was pulled out): the handles are closed then.
bool CUsbLink::IssueRead() {
    if (!reader || !readIo) return false;
    CHidIo& io = *readIo;
    if (io.inFlight) return true;
    const DWORD length = ReportLength(caps.InputReportByteLength);
    if (!platform.HidRead(reader.Get(), io.report, length, nullptr, io.Start()) && GetLastError() != ERROR_IO_PENDING) {
        io.inFlight = 0;
        CloseHandles();
        return false;
    }
    return true;
}

// Takes the outstanding read's report if it has come, issuing the read first
// if none is outstanding; never waits. Failed means the display is gone and
// the handles are closed.
CUsbLink::ReadResult CUsbLink::ReadReport(HidInput& input) {
    if (abandoned) Reap();
    if (!reader) return ReadResult::Nothing;  // closed, e.g. by the owner from inside an event
    if (!IssueRead()) return ReadResult::Failed;
    if (!HasOverlappedIoCompleted(&readIo->overlapped)) return ReadResult::Nothing;
    // Only a close or a recovery cancels the read, and neither comes here
    // after: any failure, an abort by the system included, means the display is gone.
    if (CollectRead(input)) return ReadResult::Report;
    CloseHandles();
    return ReadResult::Failed;
}

// The ended read's report; false when the read failed or was cancelled.
bool CUsbLink::CollectRead(HidInput& input) {
    readIo->inFlight = 0;
    DWORD transferred = 0;
    if (!platform.HidGetOverlappedResult(reader.Get(), &readIo->overlapped, &transferred, FALSE)) return false;
    // A short report decodes as nothing and is passed over like any unknown one.
    input = DecodeHidInput(readIo->report, transferred < kMaxReportSize ? transferred : kMaxReportSize);
    return true;
}

// ---- operations in flight ----

// Cancels the operation and waits a bounded time for it: true once it has ended.
bool CUsbLink::Cancel(HANDLE h, CHidIo& io) {
    if (h) {
        platform.HidCancelIo(h);
        DWORD transferred = 0;
        platform.HidWaitOverlapped(h, &io.overlapped, &transferred, kHidCancelWaitMs);
    }
    return HasOverlappedIoCompleted(&io.overlapped);
}

// Ends an operation before its handle closes. One that goes on anyway is
// given up: its block joins the list and is freed once it has completed.
void CUsbLink::Settle(HANDLE h, CHidIo*& io) {
    if (!io || !io->inFlight) return;
    if (Cancel(h, *io)) {
        io->inFlight = 0;
        return;
    }
    io->next = abandoned;
    abandoned = io;
    ++abandonedCount;
    io = nullptr;
}

// Frees the operations given up that have completed since.
void CUsbLink::Reap() {
    for (CHidIo** link = &abandoned; *link;) {
        CHidIo* io = *link;
        if (HasOverlappedIoCompleted(&io->overlapped)) {
            *link = io->next;
            CHidIo::Free(io);
            --abandonedCount;
        } else {
            link = &io->next;
        }
    }
}

void CUsbLink::CloseHandles() {
    if (reader || writer) {
        Settle(reader.Get(), readIo);
        Settle(writer.Get(), writeIo);
    }
    reader.Reset();
    writer.Reset();
}
