// A simulated HID bus and clock for driver tests: CFakeHidPlatform replaces the
// clock and the USB HID stack of the seam (IPlatform); keystroke synthesis keeps
// its real defaults.
//
//     CFakeHidPlatform bus;
//     bus.AddDevice();                       // a display that answers and acknowledges
//     CBrailleSampleDriver driver(bus);
//     driver.FindHidDevice();
//
// Devices are enumerated in the order added (unplugged ones left out) and
// addressed by the index AddDevice returned.
//
// Clock. NowMs() returns the fake time and then adds the auto-advance step
// (default 1 ms), so busy waits end; TickCount() does not advance it. SetNow()
// takes any value, including one just below the 2^32 wrap.
//
// Handles. HidOpen enforces CreateFile's share rules between a device's open
// handles (ERROR_SHARING_VIOLATION) unless the open asks for no access (access
// 0 opens only read attributes and capabilities); reads need GENERIC_READ and
// writes GENERIC_WRITE.
//
// Reads. As on Windows, every open handle with read access has its own input
// queue: empty at open, dropped at close, and every report the device sends goes
// to each of them (at most 32, as Windows' HID class driver keeps them; a report
// beyond that drops the oldest, see DroppedInput).
// HidRead copies a queued report and signals overlapped->hEvent at once, else
// stays pending (ERROR_IO_PENDING) until a report is queued, which completes it
// from the test's thread as a real device would. A cancelled read stays in
// flight until collected with HidGetOverlappedResult(wait TRUE), so a driver
// that reuses the buffer or the OVERLAPPED too early is caught (Misuses()).
//
// Writes. Every output report is kept per device exactly as written (report ID
// 0 first, OutputReportByteLength bytes; anything else is refused). On an
// overlapped handle a write needs an OVERLAPPED (else a misuse) and completes
// asynchronously: ERROR_IO_PENDING, then HidWaitOverlapped. With `stallWrites`
// it stays pending until cancelled or released (ReleaseWrites, which hands the
// held reports to the display in order); HidWaitOverlapped then runs the fake
// clock for the time waited and reports WAIT_TIMEOUT, and a GetOverlappedResult
// that waits blocks as a real one would (up to 10 s, then a misuse). A device
// can answer the hello (FB AA 55) with FB AA 55 info0 info1, and acknowledge
// (FF) every display frame once its sixth report has arrived.
//
// Cancels. HidCancelIo cancels only the calling thread's operations on the
// handle; with `ignoresCancel` it has no effect at all, as Wine 8 treats HID
// writes. Closing a handle ends its reads, and its writes unless cancels do
// nothing. A write that goes on completes later into its OVERLAPPED, so the code
// under test must keep that memory (and its event) until then: an operation
// completing after its event was closed is a misuse.
//
// Removal. Unplug() fails reads and writes on the device's handles (a pending
// read completes with an error) and hides it from enumeration. Plug() brings it
// back as a new instance: older handles stay dead, as on Windows.
//
// Every member may be called from any thread (the driver's worker calls the
// seam while a test queues input or reads outputs).
#ifndef BRL_FAKE_HID_H
#define BRL_FAKE_HID_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "support/test_env.h"

// How a simulated display answers display frames.
enum class FakeAck {
    Auto,    // queue an FF report after every complete six-report frame
    Manual,  // the test queues acknowledgements itself (QueueAck)
};

// Configuration of one simulated HID device. Change it before the driver uses
// the device, or through CFakeHidPlatform::Configure while it runs.
struct FakeHidDeviceConfig {
    std::string path;  // device path; empty = made up from the index
    USHORT vendor = 0x04D8;
    USHORT product = 0xABD7;
    USHORT version = 0xF100;
    USHORT inputLength = 9;    // declared InputReportByteLength
    USHORT outputLength = 9;   // declared OutputReportByteLength
    bool answersHello = true;  // replies FB AA 55 info0 info1 to a hello
    uint8_t info[2] = {0x21, 0x43};
    FakeAck ack = FakeAck::Auto;

    // Failure injection.
    bool failOpen = false;            // every CreateFile on the path fails
    bool failOverlappedOpen = false;  // only the FILE_FLAG_OVERLAPPED open fails
    bool failAttributes = false;      // HidD_GetAttributes fails
    bool failCaps = false;            // HidD_GetPreparsedData fails
    bool failDetail = false;          // the second interface-detail call fails
    bool stallWrites = false;         // writes stay pending until cancelled or released (a stalled display)
    bool ignoresCancel = false;       // cancels (and closes) do not end the device's operations
    DWORD detailSizeOverride = 0;     // nonzero: required detail size reported instead of the real one
};

// One frame of 42 cells decoded from six consecutive output reports.
using FakeFrame = std::array<uint8_t, 42>;

// Whether the frame starts with these host cells, in the display's dot order.
bool FrameShows(const FakeFrame& frame, const std::vector<uint8_t>& hostCells);
// Host cells, distinct per seed (the kit's one pattern, under the name the HID tests use).
inline std::vector<uint8_t> SeededCells(uint32_t seed, size_t count = 40) { return testenv::Pattern(seed, count); }

class CFakeHidPlatform : public IPlatform {
public:
    CFakeHidPlatform() = default;
    ~CFakeHidPlatform();
    CFakeHidPlatform(const CFakeHidPlatform&) = delete;
    CFakeHidPlatform& operator=(const CFakeHidPlatform&) = delete;

    // ---- clock ----
    void SetNow(DWORD ms) { now = ms; }
    DWORD Now() const { return now.load(); }  // current fake time, without advancing it
    void Advance(DWORD ms) { now += ms; }
    void SetAutoAdvance(DWORD ms) { step = ms; }  // added after every NowMs() read; 0 = frozen
    // Runs `action` (outside the lock) from the first NowMs() that reads `when`
    // or later: what a display does while the code under test waits, e.g. a
    // report arriving while a read is pending. One action at a time.
    void At(DWORD when, std::function<void()> action);

    // ---- devices ----
    // Adds a device (present) and returns its index.
    int AddDevice(const FakeHidDeviceConfig& config = FakeHidDeviceConfig());
    // Changes a device's configuration under the lock.
    void Configure(int device, const std::function<void(FakeHidDeviceConfig&)>& change);
    void Unplug(int device);
    void Plug(int device);
    void SetClassDevsFails(bool fail);  // SetupDiGetClassDevs returns INVALID_HANDLE_VALUE
    void ReleaseWrites(int device);     // held writes complete: the display takes them, oldest first

    // ---- input (device -> driver) ----
    // Queues a report: ID byte 0, the payload (up to 8 bytes, zero padded), then
    // zeros up to the device's input length.
    void QueueInput(int device, const std::vector<uint8_t>& payload);
    // Queues a report exactly as given (ID byte included), whatever its length.
    void QueueRawInput(int device, const std::vector<uint8_t>& report);
    // A key report: kind FD routing, FE function.
    void QueueKey(int device, uint8_t kind, uint8_t code) { QueueInput(device, {kind, code}); }
    void QueueAck(int device) { QueueInput(device, {0xFF}); }
    void QueueHelloReply(int device, uint8_t info0, uint8_t info1) {
        QueueInput(device, {0xFB, 0xAA, 0x55, info0, info1});
    }
    // Queued and not read, and dropped because the queue was full: on the
    // handle that read last from the device (none: 0), or on the handle given.
    size_t PendingInput(int device) const { return QueueOf(device, &Handle::input).size(); }
    size_t DroppedInput(int device) const { return QueueOf(device, &Handle::dropped); }
    size_t PendingInput(HANDLE h) const;
    std::string Path(int device) const { return LockedField(device, &Device::config).path; }

    // ---- output (driver -> device) ----
    // Whole reports as written.
    std::vector<std::vector<uint8_t>> Outputs(int device) const { return LockedField(device, &Device::outputs); }
    std::vector<FakeFrame> Frames(int device) const;  // complete display frames, in order
    size_t HelloCount(int device) const;              // hello reports received
    // Whether the newest complete frame starts with these host cells, in the display's dot order.
    bool LastFrameShows(int device, const std::vector<uint8_t>& hostCells) const;
    void ClearOutputs(int device);

    // ---- bookkeeping for leak and misuse checks ----
    size_t OpenHandleCount() const { return Locked(handles).size(); }  // HID handles not yet closed, all devices
    size_t OpenHandleCount(int device) const;
    // Successful opens ever for reading or writing, and for neither (access 0).
    size_t OpenCount(int device) const { return LockedField(device, &Device::opens); }
    size_t ExamineCount(int device) const { return LockedField(device, &Device::examines); }
    size_t OpenSetCount() const { return Locked(sets).size(); }         // device information sets not destroyed
    size_t Enumerations() const { return Locked(enumerations); }        // device information sets made so far
    size_t PreparsedCount() const { return Locked(preparsed).size(); }  // preparsed data not freed
    // HidRead calls on the device's handles.
    size_t ReadsIssued(int device) const { return LockedField(device, &Device::reads); }
    size_t CancelCount() const { return Locked(cancels); }            // HidCancelIo calls
    size_t PendingReadCount() const { return Locked(reads).size(); }  // reads in flight (pending or cancelling)
    // Misuse of the HID API by the code under test: a second operation on an
    // OVERLAPPED still in flight, an operation outliving its event, a wait on one
    // nothing ends, calls on unknown or closed handles, wrong cbSize/Size fields.
    size_t Misuses() const { return Locked(misuses).size(); }
    std::vector<std::string> MisuseLog() const { return Locked(misuses); }

    // ---- IPlatform ----
    DWORD NowMs() override;  // unsigned: wraps at 2^32 like the real clock
    DWORD TickCount() override { return now.load(); }
    void HidGetHidGuid(GUID* guid) override;
    HDEVINFO SetupGetClassDevs(const GUID* guid, DWORD flags) override;
    BOOL SetupEnumDeviceInterfaces(HDEVINFO set, const GUID* guid, DWORD index,
                                   SP_DEVICE_INTERFACE_DATA* data) override;
    BOOL SetupGetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                       SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size, DWORD* required) override;
    BOOL SetupDestroyDeviceInfoList(HDEVINFO set) override;
    HANDLE HidOpen(const char* path, DWORD access, DWORD share, DWORD flags) override;
    BOOL HidGetAttributes(HANDLE h, HIDD_ATTRIBUTES* attributes) override;
    BOOL HidGetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data) override;
    NTSTATUS HidGetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) override;
    BOOL HidFreePreparsedData(PHIDP_PREPARSED_DATA data) override;
    BOOL HidWrite(HANDLE h, const void* buffer, DWORD size, DWORD* written, OVERLAPPED* overlapped) override;
    BOOL HidWaitOverlapped(HANDLE h, OVERLAPPED* overlapped, DWORD* transferred, DWORD milliseconds) override;
    BOOL HidRead(HANDLE h, void* buffer, DWORD size, DWORD* read, OVERLAPPED* overlapped) override;
    BOOL HidCancelIo(HANDLE h) override;
    BOOL HidGetOverlappedResult(HANDLE h, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) override;
    BOOL HidClose(HANDLE h) override;

private:
    struct Device {
        FakeHidDeviceConfig config;
        bool present = true;
        int generation = 0;  // bumped by Plug: older handles stay dead
        std::vector<std::vector<uint8_t>> outputs;
        int framePhase = 0;                         // reports of the current display frame seen so far
        size_t opens = 0, examines = 0, reads = 0;  // opens (see OpenCount), HidRead calls
        HANDLE reader = nullptr;                    // the handle that read last
    };
    struct Handle {
        int device, generation;
        bool overlapped;
        DWORD access, share;  // as CreateFile got them
        std::deque<std::vector<uint8_t>> input;
        size_t dropped = 0;
    };
    struct Read {  // an operation in flight: a read, or a held write
        HANDLE handle;
        int device;
        uint8_t* buffer;  // a read's
        DWORD size;
        std::vector<uint8_t> report;  // a held write's
        bool write = false, cancelling = false;
        // Set by Track: the issuing thread (only its CancelIo cancels), the
        // OVERLAPPED's event and a duplicate to see it closed, the issue order.
        DWORD thread = 0;
        HANDLE event = nullptr, eventCopy = nullptr;
        uint64_t order = 0;
    };

    // The handle's device (null for an unknown handle) and whether the handle still reaches it.
    std::pair<Device*, bool> DeviceOf(HANDLE h);
    bool CompleteRead(OVERLAPPED* ov, Read& read, Handle& handle);  // from queued input
    template <typename T>
    T QueueOf(int device, T Handle::*field) const {
        std::lock_guard<std::mutex> guard(lock);
        auto it = handles.find(devices.at(device)->reader);
        return it == handles.end() ? T() : it->second.*field;
    }
    void FinishRead(OVERLAPPED* ov, NTSTATUS status, DWORD bytes);
    // Puts an operation in flight, and ends one (unless its memory was given up too early).
    void Track(OVERLAPPED* ov, Read op);
    std::map<OVERLAPPED*, Read>::iterator EndOp(std::map<OVERLAPPED*, Read>::iterator it, NTSTATUS status, DWORD bytes,
                                                const std::vector<uint8_t>* data = nullptr);
    void Misuse(const std::string& what);
    // Fails the call as the API does: notes the misuse (if any), sets the last
    // error and returns FALSE.
    BOOL Fail(DWORD error, const char* misuse = nullptr);
    // A member or a device's field, read under the lock.
    template <typename T>
    T Locked(const T& member) const {
        std::lock_guard<std::mutex> guard(lock);
        return member;
    }
    template <typename T>
    T LockedField(int device, T Device::*field) const {
        std::lock_guard<std::mutex> guard(lock);
        return devices.at(device).get()->*field;
    }
    void OnOutput(Device& device, const uint8_t* report, DWORD size);
    void QueueLocked(Device& device, std::vector<uint8_t> report);
    void QueueReportLocked(Device& device, const std::vector<uint8_t>& payload);  // as QueueInput

    mutable std::mutex lock;
    std::condition_variable_any ended;  // an operation ended
    std::atomic<DWORD> now{0};
    std::atomic<DWORD> step{1};
    std::vector<std::unique_ptr<Device>> devices;
    std::map<HANDLE, Handle> handles;
    std::map<HDEVINFO, std::vector<int>> sets;  // snapshot of present devices
    std::map<PHIDP_PREPARSED_DATA, int> preparsed;
    std::map<OVERLAPPED*, Read> reads;  // in flight (reads and stalled writes)
    std::vector<std::string> misuses;
    std::function<void()> scheduled;  // see At
    DWORD scheduledAt = 0;
    bool classDevsFail = false;
    uintptr_t nextHandle = 0x7A000000;
    size_t cancels = 0, enumerations = 0;
    uint64_t issued = 0;
};

#endif
