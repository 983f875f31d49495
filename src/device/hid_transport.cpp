// USB HID transport: finds the display among the HID interfaces, opens it
// twice (one handle for output reports, one for input reports, both
// overlapped), runs the hello, sends display frames as six output reports and
// keeps the newest frame written while an acknowledgement is outstanding.
//
// Every report is report ID 0 followed by an 8-byte payload. All calls on the
// HID stack go through the seam (platform) so tests can plug in a simulated bus.
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "device/hid_reports.h"
#include "driver/driver.h"

namespace {
constexpr USHORT kVendorId = 0x04D8;
constexpr USHORT kProductId = 0xABD7;
constexpr USHORT kVersion = 0xF100;

constexpr DWORD kReportSize = 1 + kHidPayloadSize;  // report ID + payload
// Reports are built in, and read into, buffers of this size; a device that
// declares longer reports is not one this driver can talk to.
constexpr DWORD kMaxReportSize = sizeof(CHidIo::report);
// A device path is a few hundred bytes; anything far beyond is not trusted.
constexpr DWORD kMaxDetailSize = 32 * 1024;

// The display is opened for reading and writing, shared with other programs.
constexpr DWORD kHidAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kHidShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

constexpr int kHelloPolls = 10;
// A display frame (or the hello) must be written within this time; a display
// that takes no more reports counts as gone rather than stall the worker.
constexpr uint32_t kHidWriteBoundMs = 1000;
constexpr uint16_t kHelloPollMs = 50;
// The sizes SetupAPI expects in cbSize from 64-bit code.
static_assert(sizeof(void*) != 8 || sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "interface data size");
static_assert(sizeof(void*) != 8 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "detail size");

bool IsOpenHandle(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

DWORD ClampReportLength(USHORT declared) {
    if (declared < kReportSize) return kReportSize;
    if (declared > kMaxReportSize) return kMaxReportSize;
    return declared;
}

// Completes the set-up of a device whose attributes matched, read through the
// handle `probe` (opened with no access): capabilities, the operation blocks and
// the two handles for reading and writing. Anything missing means the display
// cannot be used, so it counts as not found and nothing opened here stays open.
bool OpenMatchedHidDevice(CBrailleSampleDriver& d, HANDLE probe, const char* path) {
    IPlatform* platform = d.platform;
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!platform->HidGetPreparsedData(probe, &preparsed)) return false;
    HIDP_CAPS caps;
    std::memset(&caps, 0, sizeof caps);
    const NTSTATUS status = platform->HidGetCaps(preparsed, &caps);
    platform->HidFreePreparsedData(preparsed);
    if (status != HIDP_STATUS_SUCCESS) return false;
    // Reports shorter than ID + payload cannot carry the protocol; longer ones
    // than the report buffers would be refused by the HID stack on every call.
    if (caps.InputReportByteLength < kReportSize || caps.InputReportByteLength > kMaxReportSize ||
        caps.OutputReportByteLength < kReportSize || caps.OutputReportByteLength > kMaxReportSize)
        return false;
    d.hidCaps = caps;

    // The operation blocks are kept from one link to the next unless given up.
    if (!d.hidReadIo) d.hidReadIo = CHidIo::New();
    if (!d.hidWriteIo) d.hidWriteIo = CHidIo::New();
    if (!d.hidReadIo || !d.hidWriteIo) return false;
    HANDLE writer = platform->HidOpen(path, kHidAccess, kHidShare, FILE_FLAG_OVERLAPPED);
    if (!IsOpenHandle(writer)) return false;
    HANDLE reader = platform->HidOpen(path, kHidAccess, kHidShare, FILE_FLAG_OVERLAPPED);
    if (!IsOpenHandle(reader)) {
        platform->HidClose(writer);
        return false;
    }
    d.hidHandle = writer;
    d.hidReadHandle = reader;
    return true;
}
}  // namespace

int CBrailleSampleDriver::FindHidDevice() {
    // A re-find while handles are still held would leak them: let them go first.
    if (hidHandle || hidReadHandle) {
        SettleHidIo();
        if (IsOpenHandle(hidReadHandle)) platform->HidClose(hidReadHandle);
        if (IsOpenHandle(hidHandle)) platform->HidClose(hidHandle);
    }
    hidDetail = nullptr;
    hidHandle = nullptr;
    hidReadHandle = nullptr;
    ReapHidIo();
    if (hidAbandonedCount >= kMaxAbandonedHidIo) return 0;

    GUID hidGuid;
    platform->HidGetHidGuid(&hidGuid);
    HDEVINFO set = platform->SetupGetClassDevs(&hidGuid, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE || set == nullptr) return 0;

    SP_DEVICE_INTERFACE_DATA interfaceData;
    std::memset(&interfaceData, 0, sizeof interfaceData);
    interfaceData.cbSize = sizeof interfaceData;

    bool found = false;
    for (DWORD index = 0; !found && platform->SetupEnumDeviceInterfaces(set, &hidGuid, index, &interfaceData);
         ++index) {
        DWORD required = 0;
        platform->SetupGetDeviceInterfaceDetail(set, &interfaceData, nullptr, 0, &required);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || required > kMaxDetailSize) continue;
        // One spare zero byte keeps the path terminated whatever the record holds.
        hidDetail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::calloc(1, required + 1));
        if (!hidDetail) continue;
        hidDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (platform->SetupGetDeviceInterfaceDetail(set, &interfaceData, hidDetail, required, nullptr)) {
            const char* path = hidDetail->DevicePath;
            // Opened with no access only to read its attributes: other devices
            // (keyboards held by the system, displays in use elsewhere) are
            // neither disturbed nor refused; only the display is opened for I/O.
            HANDLE probe = platform->HidOpen(path, 0, kHidShare, 0);
            if (IsOpenHandle(probe)) {
                HIDD_ATTRIBUTES attributes;
                std::memset(&attributes, 0, sizeof attributes);
                attributes.Size = sizeof attributes;
                const bool ours = platform->HidGetAttributes(probe, &attributes) && attributes.VendorID == kVendorId &&
                                  attributes.ProductID == kProductId && attributes.VersionNumber == kVersion;
                found = ours && OpenMatchedHidDevice(*this, probe, path);
                platform->HidClose(probe);
            }
        }
        std::free(hidDetail);
        hidDetail = nullptr;
    }

    platform->SetupDestroyDeviceInfoList(set);
    if (!found) hidHandle = nullptr;
    return found ? 1 : 0;
}

int CBrailleSampleDriver::HidHandshake() {
    WriteHidReport(kHidHelloPayload, platform->NowMs());
    tickCounter = 0;
    for (int poll = 0; poll < kHelloPolls; ++poll) {
        // A failed write or read closed the link: nothing can answer any more.
        if (!hidHandle) return 0;
        uint8_t payload[kHidPayloadSize];
        uint8_t report[kReportSize] = {};
        // Anything other than the reply (key presses included) is consumed and dropped.
        if (ReadHidReport(payload) == 9) {
            std::memcpy(report + 1, payload, kHidPayloadSize);
            const HidInput input = DecodeHidInput(report, sizeof report);
            if (input.kind == HidInputKind::HelloAnswer) {
                hidInfo[0] = input.info[0];
                hidInfo[1] = input.info[1];
                return 1;
            }
        }
        if (!hidHandle) return 0;
        BusyWait(kHelloPollMs);
    }
    return 0;
}

int CBrailleSampleDriver::WriteHidReport(const uint8_t* payload, uint32_t started) {
    if (!hidHandle) return 1;
    if (!hidWriteIo) {
        HidLinkFailed();
        return 0;
    }
    CHidIo& io = *hidWriteIo;
    // Zero padding up to the declared length; report ID 0.
    const DWORD length = ClampReportLength(hidCaps.OutputReportByteLength);
    EncodeHidReport(payload, io.report, length);

    // Overlapped: the count comes from the OVERLAPPED, never through a pointer.
    BOOL ok = platform->HidWrite(hidHandle, io.report, length, nullptr, io.Start());
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        const uint32_t elapsed = platform->NowMs() - started;
        const DWORD left = elapsed < kHidWriteBoundMs ? kHidWriteBoundMs - elapsed : 0;
        DWORD written = 0;
        ok = platform->HidWaitOverlapped(hidHandle, &io.overlapped, &written, left);
        if (!ok && GetLastError() == WAIT_TIMEOUT) {
            // Not taken in time: the display counts as gone. The write keeps its
            // block if the cancel does not end it.
            SettleHidIo(hidHandle, hidWriteIo);
            HidLinkFailed();
            return 0;
        }
    }
    io.inFlight = 0;
    if (!ok) {
        HidLinkFailed();
        return 0;
    }
    return 1;
}

int CBrailleSampleDriver::ReadHidReport(uint8_t* payload) {
    if (hidAbandoned) ReapHidIo();
    if (!payload || !IsOpenHandle(hidReadHandle) || !hidReadIo) return -1;
    CHidIo& io = *hidReadIo;
    if (!io.inFlight) {
        const DWORD length = ClampReportLength(hidCaps.InputReportByteLength);
        if (!platform->HidRead(hidReadHandle, io.report, length, nullptr, io.Start()) &&
            GetLastError() != ERROR_IO_PENDING) {
            // Failed at once (e.g. the display was pulled out): no read is in flight.
            io.inFlight = 0;
            HidLinkFailed();
            return -1;
        }
        // Nothing there yet: cancel. A read the cancel does not end stays in
        // flight, and a later poll takes what it brings.
        if (WaitForSingleObject(io.event, 0) != WAIT_OBJECT_0 && !CancelHidIo(hidReadHandle, io)) return -1;
    } else if (!HasOverlappedIoCompleted(&io.overlapped)) {
        return -1;
    }
    io.inFlight = 0;
    DWORD transferred = 0;
    const BOOL ok = platform->HidGetOverlappedResult(hidReadHandle, &io.overlapped, &transferred, FALSE);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    // Only our own cancel may end a read without a report; any other failure
    // means the display is gone.
    if (!ok && error != ERROR_OPERATION_ABORTED) {
        HidLinkFailed();
        return -1;
    }
    // A report that completed just before the cancel took effect is kept: it was
    // taken from the device and would otherwise be lost (a key press, an acknowledgement).
    if (!ok || transferred < kReportSize) return -1;
    std::memcpy(payload, io.report + 1, kHidPayloadSize);
    return 9;
}

// Cancels the operation and waits a bounded time for it: true once it has ended.
bool CBrailleSampleDriver::CancelHidIo(HANDLE h, CHidIo& io) {
    if (IsOpenHandle(h)) {
        platform->HidCancelIo(h);
        DWORD transferred = 0;
        platform->HidWaitOverlapped(h, &io.overlapped, &transferred, kHidCancelWaitMs);
    }
    return HasOverlappedIoCompleted(&io.overlapped);
}

// Ends an operation before its handle closes. One that goes on anyway is
// given up: its block joins the list and is freed once it has completed.
void CBrailleSampleDriver::SettleHidIo(HANDLE h, CHidIo*& io) {
    if (!io || !io->inFlight) return;
    if (CancelHidIo(h, *io)) {
        io->inFlight = 0;
        return;
    }
    io->next = hidAbandoned;
    hidAbandoned = io;
    ++hidAbandonedCount;
    io = nullptr;
}

void CBrailleSampleDriver::SettleHidIo() {
    SettleHidIo(hidReadHandle, hidReadIo);
    SettleHidIo(hidHandle, hidWriteIo);
}

// Frees the operations given up that have completed since.
void CBrailleSampleDriver::ReapHidIo() {
    for (CHidIo** link = &hidAbandoned; *link;) {
        CHidIo* io = *link;
        if (HasOverlappedIoCompleted(&io->overlapped)) {
            *link = io->next;
            CHidIo::Free(io);
            --hidAbandonedCount;
        } else {
            link = &io->next;
        }
    }
}

// At the driver's end. An operation still running is left allocated on
// purpose (at most kMaxAbandonedHidIo + 2 blocks): the system may still write
// into it, and a leak is better than memory written after it was freed.
void CBrailleSampleDriver::ReleaseHidIo() {
    ReapHidIo();
    for (CHidIo** io : {&hidReadIo, &hidWriteIo}) {
        if (*io && !(*io)->inFlight) CHidIo::Free(*io);
        *io = nullptr;
    }
}

void CBrailleSampleDriver::WriteCellsHid(const uint8_t* cells) {
    if (!cells) return;
    if (awaitingAck) {
        hidRing.Push(cells);
        return;
    }
    // Anything still queued is older than this frame: it must never follow it.
    hidRing.Clear();
    SendHidFrame(cells);
}

void CBrailleSampleDriver::SendHidFrame(const uint8_t* frame) {
    const uint32_t started = platform->NowMs();
    awaitingAck = 1;
    const HidFramePayloads payloads = EncodeHidFrame(frame);
    for (int report = 0; report < kHidFrameReports; ++report) {
        if (report == kHidFrameReports - 1) lastSendTick = platform->NowMs();
        WriteHidReport(payloads.payload[report], started);
    }
}

void CBrailleSampleDriver::HandleHidReport(const uint8_t* payload) {
    if (!payload) return;
    uint8_t report[kReportSize] = {};
    std::memcpy(report + 1, payload, kHidPayloadSize);
    const HidInput input = DecodeHidInput(report, sizeof report);
    switch (input.kind) {
    case HidInputKind::CellKey:
        DeliverHidRoutingKey(input.code);
        break;
    case HidInputKind::FunctionKey:
        DeliverFunctionKey(input.code);
        break;
    case HidInputKind::Ack:
        awaitingAck = 0;
        break;
    default:
        break;  // hello replies after the hello, and anything unknown
    }
}
