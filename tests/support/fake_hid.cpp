#include "support/fake_hid.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "support/fake_serial.h"

namespace {
// NTSTATUS values kept in OVERLAPPED::Internal, as the kernel does.
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x00000103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusNotConnected = 0xC000009D;
// Input reports Windows' HID class driver keeps per handle by default.
constexpr size_t kInputQueueLimit = 32;
// For Fail: the call fails without setting the last error.
constexpr DWORD kKeepLastError = 0;

// The HID interface class GUID Windows reports.
constexpr GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

DWORD ErrorOf(ULONG_PTR status) {
    if (status == kStatusSuccess) return ERROR_SUCCESS;
    if (status == kStatusPending) return ERROR_IO_INCOMPLETE;
    if (status == kStatusCancelled) return ERROR_OPERATION_ABORTED;
    return status == kStatusNotConnected ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE;
}

}  // namespace

bool FrameShows(const FakeFrame& frame, const std::vector<uint8_t>& hostCells) {
    const std::vector<uint8_t> dots = serialwire::DisplayDots(hostCells);
    return dots.size() <= frame.size() && std::equal(dots.begin(), dots.end(), frame.begin());
}

// ---- devices ----

int CFakeHidPlatform::AddDevice(const FakeHidDeviceConfig& config) {
    std::lock_guard<std::mutex> guard(lock);
    auto device = std::make_unique<Device>();
    device->config = config;
    const int index = static_cast<int>(devices.size());
    if (device->config.path.empty()) device->config.path = "\\\\?\\hid#fake_display#" + std::to_string(index);
    devices.push_back(std::move(device));
    return index;
}

void CFakeHidPlatform::Configure(int device, const std::function<void(FakeHidDeviceConfig&)>& change) {
    std::lock_guard<std::mutex> guard(lock);
    change(devices.at(device)->config);
}

void CFakeHidPlatform::Unplug(int index) {
    std::lock_guard<std::mutex> guard(lock);
    Device& device = *devices.at(index);
    device.present = false;
    for (auto& h : handles)
        if (h.second.device == index) h.second.input.clear();
    device.framePhase = 0;
    // Operations in flight on the removed device fail, as they do when a cable is pulled.
    for (auto it = reads.begin(); it != reads.end();) {
        if (it->second.device == index)
            it = EndOp(it, it->second.cancelling ? kStatusCancelled : kStatusNotConnected, 0);
        else
            ++it;
    }
}

void CFakeHidPlatform::ReleaseWrites(int index) {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::pair<uint64_t, OVERLAPPED*>> held;
    for (const auto& op : reads)
        if (op.second.write && op.second.device == index) held.emplace_back(op.second.order, op.first);
    std::sort(held.begin(), held.end());
    for (const auto& op : held) {
        auto it = reads.find(op.second);
        OnOutput(*devices[index], it->second.report.data(), it->second.size);
        EndOp(it, kStatusSuccess, it->second.size);
    }
}

CFakeHidPlatform::~CFakeHidPlatform() {
    for (const auto& op : reads)
        if (op.second.eventCopy) CloseHandle(op.second.eventCopy);
}

void CFakeHidPlatform::Plug(int index) {
    std::lock_guard<std::mutex> guard(lock);
    Device& device = *devices.at(index);
    if (device.present) return;
    device.present = true;
    ++device.generation;
}

void CFakeHidPlatform::SetClassDevsFails(bool fail) {
    std::lock_guard<std::mutex> guard(lock);
    classDevsFail = fail;
}

// ---- input ----

void CFakeHidPlatform::QueueLocked(Device& device, std::vector<uint8_t> report) {
    if (!device.present) return;  // a removed display sends nothing
    for (auto& [h, handle] : handles) {
        if (DeviceOf(h) != std::make_pair(&device, true) || !(handle.access & GENERIC_READ)) continue;
        if (handle.input.size() >= kInputQueueLimit) {
            handle.input.pop_front();
            ++handle.dropped;
        }
        handle.input.push_back(report);
        // A read already waiting on this handle takes the report at once.
        for (auto it = reads.begin(); it != reads.end(); ++it) {
            if (it->second.handle != h || it->second.cancelling || it->second.write) continue;
            const std::vector<uint8_t> taken = std::move(handle.input.front());
            handle.input.pop_front();
            EndOp(it, kStatusSuccess, 0, &taken);
            break;
        }
    }
}

void CFakeHidPlatform::QueueReportLocked(Device& device, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> report(std::max<size_t>(device.config.inputLength, 9), 0);
    std::copy_n(payload.begin(), std::min<size_t>(payload.size(), 8), report.begin() + 1);
    QueueLocked(device, std::move(report));
}

void CFakeHidPlatform::QueueInput(int index, const std::vector<uint8_t>& payload) {
    std::lock_guard<std::mutex> guard(lock);
    QueueReportLocked(*devices.at(index), payload);
}

void CFakeHidPlatform::QueueRawInput(int index, const std::vector<uint8_t>& report) {
    std::lock_guard<std::mutex> guard(lock);
    QueueLocked(*devices.at(index), report);
}

void CFakeHidPlatform::At(DWORD when, std::function<void()> action) {
    std::lock_guard<std::mutex> guard(lock);
    scheduledAt = when;
    scheduled = std::move(action);
}

DWORD CFakeHidPlatform::NowMs() {
    const DWORD t = now.fetch_add(step.load());
    std::function<void()> due;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (scheduled && static_cast<int32_t>(t - scheduledAt) >= 0) due.swap(scheduled);
    }
    if (due) due();
    return t;
}

// ---- output ----

std::vector<FakeFrame> CFakeHidPlatform::Frames(int device) const {
    const auto reports = Outputs(device);
    std::vector<FakeFrame> frames;
    for (size_t i = 0; i + 5 < reports.size();) {
        // The payloads of six reports: FF AA 55, the 42 cells, 55 AA FF.
        uint8_t bytes[48];
        for (size_t k = 0; k < 48; ++k) {
            const std::vector<uint8_t>& report = reports[i + k / 8];
            bytes[k] = report.size() > k % 8 + 1 ? report[k % 8 + 1] : 0;
        }
        if (std::memcmp(bytes, "\xFF\xAA\x55", 3) != 0 || std::memcmp(bytes + 45, "\x55\xAA\xFF", 3) != 0) {
            ++i;
            continue;
        }
        FakeFrame frame;
        std::copy_n(bytes + 3, frame.size(), frame.begin());
        frames.push_back(frame);
        i += 6;
    }
    return frames;
}

bool CFakeHidPlatform::LastFrameShows(int device, const std::vector<uint8_t>& hostCells) const {
    const std::vector<FakeFrame> frames = Frames(device);
    return !frames.empty() && FrameShows(frames.back(), hostCells);
}

size_t CFakeHidPlatform::HelloCount(int device) const {
    const auto reports = Outputs(device);
    return static_cast<size_t>(std::count_if(reports.begin(), reports.end(), [](const std::vector<uint8_t>& r) {
        return r.size() >= 4 && r[1] == 0xFB && r[2] == 0xAA && r[3] == 0x55;
    }));
}

void CFakeHidPlatform::ClearOutputs(int device) {
    std::lock_guard<std::mutex> guard(lock);
    devices.at(device)->outputs.clear();
}

void CFakeHidPlatform::OnOutput(Device& device, const uint8_t* report, DWORD size) {
    device.outputs.emplace_back(report, report + size);
    if (size < 9) return;
    const uint8_t* p = report + 1;
    if (device.framePhase >= 1 && device.framePhase <= 5) {
        if (++device.framePhase == 6) {
            device.framePhase = 0;
            if (p[5] == 0x55 && p[6] == 0xAA && p[7] == 0xFF && device.config.ack == FakeAck::Auto) {
                QueueReportLocked(device, {0xFF});
            }
        }
        return;
    }
    if (p[0] == 0xFB && p[1] == 0xAA && p[2] == 0x55) {
        if (device.config.answersHello)
            QueueReportLocked(device, {0xFB, 0xAA, 0x55, device.config.info[0], device.config.info[1]});
    } else if (p[0] == 0xFF && p[1] == 0xAA && p[2] == 0x55) {
        device.framePhase = 1;
    }
}

// ---- bookkeeping ----

size_t CFakeHidPlatform::PendingInput(HANDLE h) const {
    std::lock_guard<std::mutex> guard(lock);
    auto it = handles.find(h);
    return it == handles.end() ? 0 : it->second.input.size();
}

size_t CFakeHidPlatform::OpenHandleCount(int device) const {
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<size_t>(
        std::count_if(handles.begin(), handles.end(), [device](const auto& h) { return h.second.device == device; }));
}

void CFakeHidPlatform::Misuse(const std::string& what) { misuses.push_back(what); }

BOOL CFakeHidPlatform::Fail(DWORD error, const char* misuse) {
    if (misuse) Misuse(misuse);
    if (error != kKeepLastError) SetLastError(error);
    return FALSE;
}

std::pair<CFakeHidPlatform::Device*, bool> CFakeHidPlatform::DeviceOf(HANDLE h) {
    auto it = handles.find(h);
    if (it == handles.end()) return {nullptr, false};
    Device* device = devices[it->second.device].get();
    return {device, device->present && device->generation == it->second.generation};
}

bool CFakeHidPlatform::CompleteRead(OVERLAPPED* ov, Read& read, Handle& handle) {
    if (handle.input.empty()) return false;
    std::vector<uint8_t> report = std::move(handle.input.front());
    handle.input.pop_front();
    const DWORD n = static_cast<DWORD>(std::min<size_t>(report.size(), read.size));
    std::memcpy(read.buffer, report.data(), n);
    FinishRead(ov, kStatusSuccess, n);
    return true;
}

void CFakeHidPlatform::FinishRead(OVERLAPPED* ov, NTSTATUS status, DWORD bytes) {
    ov->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
    ov->InternalHigh = bytes;
    if (ov->hEvent) SetEvent(ov->hEvent);
}

void CFakeHidPlatform::Track(OVERLAPPED* ov, Read op) {
    ov->Internal = kStatusPending;
    ov->InternalHigh = 0;
    op.thread = GetCurrentThreadId();
    op.event = ov->hEvent;
    if (op.event)
        DuplicateHandle(GetCurrentProcess(), op.event, GetCurrentProcess(), &op.eventCopy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    op.order = ++issued;
    reads[ov] = std::move(op);
}

std::map<OVERLAPPED*, CFakeHidPlatform::Read>::iterator CFakeHidPlatform::EndOp(
    std::map<OVERLAPPED*, Read>::iterator it, NTSTATUS status, DWORD bytes, const std::vector<uint8_t>* data) {
    using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
    static const auto sameObject = reinterpret_cast<Compare>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernelbase.dll"), "CompareObjectHandles")));
    Read& op = it->second;
    if (op.eventCopy && sameObject && !sameObject(op.event, op.eventCopy)) {
        // The system would now write into memory the code under test has let go.
        Misuse("an operation ended after its event was closed: its OVERLAPPED was given up too early");
    } else {
        if (data && op.buffer) {
            bytes = static_cast<DWORD>(std::min<size_t>(data->size(), op.size));
            std::memcpy(op.buffer, data->data(), bytes);
        }
        FinishRead(it->first, status, bytes);
    }
    if (op.eventCopy) CloseHandle(op.eventCopy);
    ended.notify_all();
    return reads.erase(it);
}

// ---- IPlatform: enumeration ----

void CFakeHidPlatform::HidGetHidGuid(GUID* guid) { *guid = kHidGuid; }

HDEVINFO CFakeHidPlatform::SetupGetClassDevs(const GUID* guid, DWORD flags) {
    std::lock_guard<std::mutex> guard(lock);
    if (!guid || !IsEqualGUID(*guid, kHidGuid)) Misuse("SetupGetClassDevs: not the HID class GUID");
    if (flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) Misuse("SetupGetClassDevs: unexpected flags");
    if (classDevsFail) {
        SetLastError(ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    HDEVINFO set = reinterpret_cast<HDEVINFO>(nextHandle += 4);
    ++enumerations;
    std::vector<int>& present = sets[set];  // a snapshot of the devices present now
    for (size_t i = 0; i < devices.size(); ++i)
        if (devices[i]->present) present.push_back(static_cast<int>(i));
    return set;
}

BOOL CFakeHidPlatform::SetupEnumDeviceInterfaces(HDEVINFO set, const GUID* guid, DWORD index,
                                                 SP_DEVICE_INTERFACE_DATA* data) {
    std::lock_guard<std::mutex> guard(lock);
    auto it = sets.find(set);
    if (it == sets.end() || !data) return Fail(ERROR_INVALID_HANDLE, "SetupEnumDeviceInterfaces: unknown set");
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER, "SetupEnumDeviceInterfaces: cbSize");
    if (index >= it->second.size()) return Fail(ERROR_NO_MORE_ITEMS);
    data->InterfaceClassGuid = guid ? *guid : kHidGuid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = static_cast<ULONG_PTR>(it->second[index]);
    return TRUE;
}

BOOL CFakeHidPlatform::SetupGetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                                     SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size,
                                                     DWORD* required) {
    std::lock_guard<std::mutex> guard(lock);
    if (sets.find(set) == sets.end() || !data || data->Reserved >= devices.size())
        return Fail(ERROR_INVALID_HANDLE, "SetupGetDeviceInterfaceDetail: unknown set or interface");
    const Device& device = *devices[data->Reserved];
    const std::string& path = device.config.path;
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required) *required = device.config.detailSizeOverride ? device.config.detailSizeOverride : needed;
    if (!detail) {
        if (size != 0) Misuse("SetupGetDeviceInterfaceDetail: size without a buffer");
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return Fail(ERROR_INVALID_USER_BUFFER, "SetupGetDeviceInterfaceDetail: cbSize");
    if (device.config.failDetail) return Fail(ERROR_GEN_FAILURE);
    if (size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL CFakeHidPlatform::SetupDestroyDeviceInfoList(HDEVINFO set) {
    std::lock_guard<std::mutex> guard(lock);
    if (sets.erase(set) == 0) return Fail(ERROR_INVALID_HANDLE, "SetupDestroyDeviceInfoList: unknown set");
    return TRUE;
}

// ---- IPlatform: device handles ----

HANDLE CFakeHidPlatform::HidOpen(const char* path, DWORD access, DWORD share, DWORD flags) {
    std::lock_guard<std::mutex> guard(lock);
    for (size_t i = 0; i < devices.size(); ++i) {
        Device& device = *devices[i];
        if (!path || device.config.path != path || !device.present) continue;
        if (device.config.failOpen || (device.config.failOverlappedOpen && (flags & FILE_FLAG_OVERLAPPED))) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        // Share rules hold between handles that asked for reading or writing.
        constexpr DWORD kData = GENERIC_READ | GENERIC_WRITE;
        const auto conflicts = [&](const std::pair<const HANDLE, Handle>& other) {
            const Handle& o = other.second;
            if (o.device != static_cast<int>(i) || o.generation != device.generation || !(o.access & kData))
                return false;
            return ((access & GENERIC_READ) && !(o.share & FILE_SHARE_READ)) ||
                   ((access & GENERIC_WRITE) && !(o.share & FILE_SHARE_WRITE)) ||
                   ((o.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) ||
                   ((o.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE));
        };
        if ((access & kData) && std::any_of(handles.begin(), handles.end(), conflicts)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        HANDLE h = reinterpret_cast<HANDLE>(nextHandle += 4);
        handles[h] =
            Handle{static_cast<int>(i), device.generation, (flags & FILE_FLAG_OVERLAPPED) != 0, access, share, {}};
        ++(access & kData ? device.opens : device.examines);
        return h;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

BOOL CFakeHidPlatform::HidGetAttributes(HANDLE h, HIDD_ATTRIBUTES* attributes) {
    std::lock_guard<std::mutex> guard(lock);
    const auto [device, alive] = DeviceOf(h);
    if (!device || !attributes) return Fail(kKeepLastError, "HidGetAttributes: unknown handle");
    if (attributes->Size != sizeof(HIDD_ATTRIBUTES)) Misuse("HidGetAttributes: Size");
    if (!alive || device->config.failAttributes) return FALSE;
    attributes->VendorID = device->config.vendor;
    attributes->ProductID = device->config.product;
    attributes->VersionNumber = device->config.version;
    return TRUE;
}

BOOL CFakeHidPlatform::HidGetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data) {
    std::lock_guard<std::mutex> guard(lock);
    const auto [device, alive] = DeviceOf(h);
    if (!device || !data) return Fail(kKeepLastError, "HidGetPreparsedData: unknown handle");
    if (!alive || device->config.failCaps) return FALSE;
    *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(nextHandle += 4);
    preparsed[*data] = handles[h].device;
    return TRUE;
}

NTSTATUS CFakeHidPlatform::HidGetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) {
    std::lock_guard<std::mutex> guard(lock);
    auto it = preparsed.find(data);
    if (it == preparsed.end() || !caps) {
        Misuse("HidGetCaps: unknown preparsed data");
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    }
    const Device& device = *devices[it->second];
    std::memset(caps, 0, sizeof *caps);
    caps->UsagePage = 0xFF00;
    caps->Usage = 1;
    caps->InputReportByteLength = device.config.inputLength;
    caps->OutputReportByteLength = device.config.outputLength;
    return HIDP_STATUS_SUCCESS;
}

BOOL CFakeHidPlatform::HidFreePreparsedData(PHIDP_PREPARSED_DATA data) {
    std::lock_guard<std::mutex> guard(lock);
    if (preparsed.erase(data) == 0) return Fail(kKeepLastError, "HidFreePreparsedData: unknown preparsed data");
    return TRUE;
}

BOOL CFakeHidPlatform::HidWrite(HANDLE h, const void* buffer, DWORD size, DWORD* written, OVERLAPPED* overlapped) {
    std::lock_guard<std::mutex> guard(lock);
    if (written) *written = 0;
    const auto [device, alive] = DeviceOf(h);
    if (!device || !buffer) return Fail(ERROR_INVALID_HANDLE, "HidWrite: unknown handle");
    const bool overlappedHandle = handles[h].overlapped;
    if (overlappedHandle && !overlapped)
        return Fail(ERROR_INVALID_PARAMETER, "HidWrite: no OVERLAPPED on an overlapped handle");
    if (overlapped && reads.count(overlapped))
        return Fail(ERROR_INVALID_PARAMETER, "HidWrite: OVERLAPPED reused while its operation is in flight");
    if (!(handles[h].access & GENERIC_WRITE))
        return Fail(ERROR_ACCESS_DENIED, "HidWrite: handle not opened for writing");
    // Microsoft: an overlapped call takes no byte count; it may be wrong.
    if (overlapped && written) Misuse("HidWrite: a byte count on an overlapped call");
    if (!alive) return Fail(ERROR_DEVICE_NOT_CONNECTED);
    // The HID class driver takes output reports of exactly the declared length,
    // with a report ID the device declares (only 0 here).
    if (size != device->config.outputLength || static_cast<const uint8_t*>(buffer)[0] != 0) {
        if (size >= 1 && static_cast<const uint8_t*>(buffer)[0] != 0) Misuse("HidWrite: report ID not 0");
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!overlappedHandle) {
        OnOutput(*device, static_cast<const uint8_t*>(buffer), size);
        if (written) *written = size;
        return TRUE;
    }
    if (overlapped->hEvent) ResetEvent(overlapped->hEvent);
    if (device->config.stallWrites) {
        const auto* report = static_cast<const uint8_t*>(buffer);
        Track(overlapped, Read{h, handles[h].device, nullptr, size, {report, report + size}, true});
    } else {
        OnOutput(*device, static_cast<const uint8_t*>(buffer), size);
        FinishRead(overlapped, kStatusSuccess, size);
    }
    return Fail(ERROR_IO_PENDING);
}

BOOL CFakeHidPlatform::HidWaitOverlapped(HANDLE h, OVERLAPPED* overlapped, DWORD* transferred, DWORD milliseconds) {
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = overlapped ? reads.find(overlapped) : reads.end();
        if (it != reads.end() && !it->second.cancelling) {
            // Nothing will complete it: the wait lasts its whole bound.
            now += milliseconds;
            if (transferred) *transferred = 0;
            return Fail(WAIT_TIMEOUT);
        }
    }
    return HidGetOverlappedResult(h, overlapped, transferred, TRUE);
}

BOOL CFakeHidPlatform::HidRead(HANDLE h, void* buffer, DWORD size, DWORD* read, OVERLAPPED* overlapped) {
    std::lock_guard<std::mutex> guard(lock);
    if (read) *read = 0;
    const auto [device, alive] = DeviceOf(h);
    if (!device || !buffer) return Fail(ERROR_INVALID_HANDLE, "HidRead: unknown handle");
    if (!overlapped || !handles[h].overlapped)
        return Fail(ERROR_INVALID_PARAMETER,
                    "HidRead: not an overlapped read on an overlapped handle (it would block)");
    if (reads.count(overlapped))
        return Fail(ERROR_INVALID_PARAMETER, "HidRead: OVERLAPPED reused while its read is in flight");
    if (!(handles[h].access & GENERIC_READ)) return Fail(ERROR_ACCESS_DENIED, "HidRead: handle not opened for reading");
    if (read) Misuse("HidRead: a byte count on an overlapped call");
    ++device->reads;
    device->reader = h;
    if (overlapped->hEvent) ResetEvent(overlapped->hEvent);  // as ReadFile does
    if (!alive) {
        // Worst case for the caller: the failure also signals the event.
        FinishRead(overlapped, kStatusNotConnected, 0);
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    if (size < device->config.inputLength) return Fail(ERROR_INVALID_USER_BUFFER);
    Read pending{h, handles[h].device, static_cast<uint8_t*>(buffer), size, {}};
    if (CompleteRead(overlapped, pending, handles[h])) {
        if (read) *read = static_cast<DWORD>(overlapped->InternalHigh);
        return TRUE;
    }
    Track(overlapped, std::move(pending));
    return Fail(ERROR_IO_PENDING);
}

BOOL CFakeHidPlatform::HidCancelIo(HANDLE h) {
    std::lock_guard<std::mutex> guard(lock);
    ++cancels;
    if (!handles.count(h)) return Fail(ERROR_INVALID_HANDLE, "HidCancelIo: unknown handle");
    // Only the caller's own operations; the cancellation finishes asynchronously:
    // the operation stays in flight until collected.
    for (auto& entry : reads)
        if (entry.second.handle == h && entry.second.thread == GetCurrentThreadId() &&
            !devices[entry.second.device]->config.ignoresCancel)
            entry.second.cancelling = true;
    return TRUE;
}

BOOL CFakeHidPlatform::HidGetOverlappedResult(HANDLE h, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
    std::unique_lock<std::mutex> guard(lock);
    if (transferred) *transferred = 0;
    if (!overlapped) return Fail(ERROR_INVALID_PARAMETER, "HidGetOverlappedResult: no OVERLAPPED");
    auto it = reads.find(overlapped);
    if (it != reads.end()) {
        if (it->second.handle != h) Misuse("HidGetOverlappedResult: read belongs to another handle");
        if (!wait) return Fail(ERROR_IO_INCOMPLETE);
        // Blocks as the real call does, until the operation ends or a cancel takes hold.
        const bool ends = ended.wait_for(guard, std::chrono::seconds(10), [&] {
            it = reads.find(overlapped);
            return it == reads.end() || it->second.cancelling;
        });
        if (!ends) return Fail(ERROR_IO_INCOMPLETE, "HidGetOverlappedResult: waited 10 s on an operation nothing ends");
        if (it != reads.end()) EndOp(it, kStatusCancelled, 0);
    }
    if (transferred) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (overlapped->Internal == kStatusSuccess) return TRUE;
    return Fail(ErrorOf(overlapped->Internal));
}

BOOL CFakeHidPlatform::HidClose(HANDLE h) {
    std::lock_guard<std::mutex> guard(lock);
    if (!handles.count(h)) return Fail(ERROR_INVALID_HANDLE, "HidClose: unknown or already closed handle");
    // The close ends the handle's reads; a write already passed to the device
    // goes on where cancels do nothing.
    for (auto it = reads.begin(); it != reads.end();) {
        if (it->second.handle == h && !(it->second.write && devices[it->second.device]->config.ignoresCancel))
            it = EndOp(it, kStatusCancelled, 0);
        else
            ++it;
    }
    handles.erase(h);
    return TRUE;
}
