// USB HID transport: finds the display among the HID interfaces, opens it
// twice (one handle for output reports, one for input reports, both
// overlapped), runs the hello, sends display frames as six output reports and
// keeps the newest frame written while an acknowledgement is outstanding.
//
// Every report is report ID 0 followed by an 8-byte payload. All calls on the
// HID stack go through the seam (platform) so tests can plug in a simulated bus.
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"

namespace {
constexpr USHORT kVendorId = 0x04D8;
constexpr USHORT kProductId = 0xABD7;
constexpr USHORT kVersion = 0xF100;

constexpr DWORD kReportSize = 1 + kHidPayloadSize;  // report ID + payload
// Reports are built in, and read into, buffers of this size; a device that
// declares longer reports is not one this driver can talk to.
constexpr DWORD kMaxReportSize = sizeof(CBrailleSampleDriver::hidReadBuffer);
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

// Completes the set-up of a device whose attributes matched: capabilities, the
// overlapped read handle and the read event. Anything missing means the display
// cannot be used, so it counts as not found; the read handle is closed here,
// hidHandle by the caller.
bool OpenMatchedHidDevice(CBrailleSampleDriver& d, const char* path) {
    IPlatform* platform = d.platform;
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!platform->HidGetPreparsedData(d.hidHandle, &preparsed)) return false;
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

    HANDLE reader = platform->HidOpen(path, kHidAccess, kHidShare, FILE_FLAG_OVERLAPPED);
    if (!IsOpenHandle(reader)) return false;

    if (!d.hidReadEvent) {
        // Manual reset, created signalled; made once and reused by later matches.
        d.hidReadEvent = CreateEventA(nullptr, TRUE, TRUE, "");
        if (!d.hidReadEvent) {
            platform->HidClose(reader);
            return false;
        }
        std::memset(&d.hidOverlapped, 0, sizeof d.hidOverlapped);
        d.hidOverlapped.hEvent = d.hidReadEvent;
    }
    if (!d.hidWriteEvent) {
        d.hidWriteEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!d.hidWriteEvent) {
            platform->HidClose(reader);
            return false;
        }
    }
    d.hidReadHandle = reader;
    d.hidReadPending = 0;
    return true;
}
}  // namespace

int CBrailleSampleDriver::FindHidDevice() {
    // A re-find while handles are still held would leak them: let them go first.
    if (hidHandle || hidReadHandle) {
        FinishHidRead();
        if (IsOpenHandle(hidReadHandle)) platform->HidClose(hidReadHandle);
        if (IsOpenHandle(hidHandle)) platform->HidClose(hidHandle);
    }
    hidDetail = nullptr;
    hidHandle = nullptr;
    hidReadHandle = nullptr;

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
            HANDLE h = platform->HidOpen(path, kHidAccess, kHidShare, FILE_FLAG_OVERLAPPED);
            if (IsOpenHandle(h)) {
                hidHandle = h;
                HIDD_ATTRIBUTES attributes;
                std::memset(&attributes, 0, sizeof attributes);
                attributes.Size = sizeof attributes;
                const bool ours = platform->HidGetAttributes(h, &attributes) && attributes.VendorID == kVendorId &&
                                  attributes.ProductID == kProductId && attributes.VersionNumber == kVersion;
                found = ours && OpenMatchedHidDevice(*this, path);
                if (!found) {
                    platform->HidClose(h);
                    hidHandle = nullptr;
                }
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
    static const uint8_t hello[kHidPayloadSize] = {0xFB, 0xAA, 0x55, 0, 0, 0, 0, 0};
    WriteHidReport(hello, platform->NowMs());
    tickCounter = 0;
    for (int poll = 0; poll < kHelloPolls; ++poll) {
        uint8_t payload[kHidPayloadSize];
        // Anything other than the reply (key presses included) is consumed and dropped.
        if (ReadHidReport(payload) == 9 && payload[0] == 0xFB && payload[1] == 0xAA && payload[2] == 0x55) {
            hidInfo[0] = payload[3];
            hidInfo[1] = payload[4];
            return 1;
        }
        BusyWait(kHelloPollMs);
    }
    return 0;
}

int CBrailleSampleDriver::WriteHidReport(const uint8_t* payload, uint32_t started) {
    if (!hidHandle) return 1;
    // Zero padding up to the declared length; report ID 0.
    uint8_t report[kMaxReportSize];
    const DWORD length = ClampReportLength(hidCaps.OutputReportByteLength);
    std::memset(report, 0, length);
    if (payload) std::memcpy(report + 1, payload, kHidPayloadSize);

    std::memset(&hidWriteOverlapped, 0, sizeof hidWriteOverlapped);
    hidWriteOverlapped.hEvent = hidWriteEvent;
    ResetEvent(hidWriteEvent);
    DWORD written = 0;
    BOOL ok = platform->HidWrite(hidHandle, report, length, &written, &hidWriteOverlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        const uint32_t elapsed = platform->NowMs() - started;
        const DWORD left = elapsed < kHidWriteBoundMs ? kHidWriteBoundMs - elapsed : 0;
        ok = platform->HidWaitOverlapped(hidHandle, &hidWriteOverlapped, &written, left);
        if (!ok && GetLastError() == WAIT_TIMEOUT) {
            // The report buffer is ours only once the cancelled write has finished.
            platform->HidCancelIo(hidHandle);
            platform->HidGetOverlappedResult(hidHandle, &hidWriteOverlapped, &written, TRUE);
            ok = FALSE;
        }
    }
    if (!ok) {
        HidLinkFailed();
        return 0;
    }
    return 1;
}

int CBrailleSampleDriver::ReadHidReport(uint8_t* payload) {
    if (!payload || !IsOpenHandle(hidReadHandle) || !hidReadEvent) return -1;
    // Never start a read on a buffer and OVERLAPPED that are still in use.
    FinishHidRead();

    const DWORD length = ClampReportLength(hidCaps.InputReportByteLength);
    hidOverlapped.hEvent = hidReadEvent;
    hidOverlapped.Offset = 0;
    hidOverlapped.OffsetHigh = 0;
    ResetEvent(hidReadEvent);  // the event starts signalled; only this read may signal it
    DWORD got = 0;
    if (!platform->HidRead(hidReadHandle, hidReadBuffer, length, &got, &hidOverlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        // Failed at once (e.g. the display was pulled out): no read is in flight.
        ResetEvent(hidReadEvent);
        HidLinkFailed();
        return -1;
    }
    hidReadPending = 1;

    const DWORD wait = WaitForSingleObject(hidReadEvent, 0);
    if (wait != WAIT_OBJECT_0) {
        // Nothing there yet: cancel, and wait until the cancelled read has really
        // finished so the buffer and OVERLAPPED are free again.
        platform->HidCancelIo(hidReadHandle);
    }
    DWORD transferred = 0;
    const BOOL ok = platform->HidGetOverlappedResult(hidReadHandle, &hidOverlapped, &transferred, TRUE);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    hidReadPending = 0;
    ResetEvent(hidReadEvent);
    // Only our own cancel may end a read without a report; any other failure
    // means the display is gone.
    if (!ok && error != ERROR_OPERATION_ABORTED) {
        HidLinkFailed();
        return -1;
    }
    // A report that completed just before the cancel took effect is kept: it was
    // taken from the device and would otherwise be lost (a key press, an acknowledgement).
    if (!ok || transferred < kReportSize) return -1;
    std::memcpy(payload, hidReadBuffer + 1, kHidPayloadSize);
    return 9;
}

void CBrailleSampleDriver::FinishHidRead() {
    if (!hidReadPending) return;
    if (IsOpenHandle(hidReadHandle)) {
        platform->HidCancelIo(hidReadHandle);
        DWORD transferred = 0;
        platform->HidGetOverlappedResult(hidReadHandle, &hidOverlapped, &transferred, TRUE);
    }
    hidReadPending = 0;
    if (hidReadEvent) ResetEvent(hidReadEvent);
}

void CFrameRing::Push(const uint8_t* cells) {
    std::memcpy(slots[write], cells, kRingSlotSize);
    write = (write + 1) % kRingSlots;
    if (write == read) read = (read + 1) % kRingSlots;  // full: the oldest goes
}

const uint8_t* CFrameRing::Newest() const {
    if (Empty()) return nullptr;
    return slots[(write + kRingSlots - 1) % kRingSlots];
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
    uint8_t payload[kHidPayloadSize] = {0xFF, 0xAA, 0x55, frame[0], frame[1], frame[2], frame[3], frame[4]};
    WriteHidReport(payload, started);
    for (std::size_t report = 0; report < 4; ++report) {
        std::memcpy(payload, frame + 5 + report * kHidPayloadSize, kHidPayloadSize);
        WriteHidReport(payload, started);
    }
    std::memcpy(payload, frame + 37, 5);
    payload[5] = 0x55;
    payload[6] = 0xAA;
    payload[7] = 0xFF;
    lastSendTick = platform->NowMs();
    WriteHidReport(payload, started);
}

void CBrailleSampleDriver::HandleHidReport(const uint8_t* payload) {
    if (!payload) return;
    switch (payload[0]) {
    case 0xFD:
        DeliverHidRoutingKey(payload[1]);
        break;
    case 0xFE:
        DeliverFunctionKey(payload[1]);
        break;
    case 0xFF:
        awaitingAck = 0;
        break;
    default:
        break;  // hello replies after the hello, and anything unknown
    }
}
