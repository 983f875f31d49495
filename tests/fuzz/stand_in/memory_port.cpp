// The serial port of the fuzz build, in memory: CSerial's members (and the
// seam's) in place of the system's, returning what serial.cpp returns on a
// port that works, for the calls the serial link makes; the rest abort. The
// port has the link's settings: an immediate read takes what is queued; a read
// on the caller's record ends at once when bytes are queued or it need not
// wait, else it stays pending until bytes arrive (with them), its wait runs out
// (empty, STATUS_TIMEOUT, as a serial driver ends it), or it is cancelled or
// the port closed (STATUS_CANCELLED). The clock moves 1 ms at every reading,
// so that busy waits end. The fuzz target declares the memport functions.
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <functional>

#include "device/serial/serial.h"

namespace {
constexpr uintptr_t kStatusTimeout = 0x102, kStatusCancelled = 0xC0000120;

struct Port {
    bool open = false, overlapped = false;
    DWORD readWait = 0;  // how long a read on the caller's record waits for a first byte
    std::deque<uint8_t> queued;
    OVERLAPPED* pending = nullptr;
    uint8_t* buffer = nullptr;
    DWORD size = 0, issuedMs = 0, now = 0;
} mem;

DWORD Take(uint8_t* out, DWORD size) {
    DWORD n = 0;
    for (; n < size && !mem.queued.empty(); ++n, mem.queued.pop_front()) out[n] = mem.queued.front();
    return n;
}

// The outstanding read's bytes and status go into its record, then its event is set.
void EndRead(uintptr_t status) {
    if (!mem.pending) return;
    mem.pending->InternalHigh = status == 0 ? Take(mem.buffer, mem.size) : 0;
    mem.pending->Internal = status;
    SetEvent(mem.pending->hEvent);
    mem.pending = nullptr;
}

LONG Opened() { return mem.open ? 0 : ERROR_INVALID_HANDLE; }

// Io's checks, in its order.
LONG Refused(const void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD timeout) {
    if (count) *count = 0;
    if (!mem.open) return ERROR_INVALID_HANDLE;
    if (!mem.overlapped && (overlapped || timeout != INFINITE)) return ERROR_INVALID_FUNCTION;
    return !buffer && size != 0 ? ERROR_INVALID_PARAMETER : 0;
}

BOOL WINAPI CancelOne(HANDLE, OVERLAPPED* operation) {
    if (!mem.pending || operation != mem.pending) return 0;
    EndRead(kStatusCancelled);
    return 1;
}
}  // namespace

namespace memport {
std::function<void(const uint8_t*, size_t)> onWrite;
void Reset() { mem = Port{}; }
// Queues what the display sent; an outstanding read ends with it.
void Deliver(const uint8_t* bytes, size_t count) {
    mem.queued.insert(mem.queued.end(), bytes, bytes + count);
    if (count) EndRead(0);
}
// Moves the clock; an outstanding read whose wait ran out meanwhile ends empty.
void Advance(DWORD ms) {
    mem.now += ms;
    if (mem.pending && mem.now - mem.issuedMs >= mem.readWait) EndRead(kStatusTimeout);
}
}  // namespace memport

BOOL(WINAPI* CSerial::cancelIoEx)(HANDLE, OVERLAPPED*) = CancelOne;

// Only what the stand-in or the header's inline members use is set.
CSerial::CSerial(IPlatform& p)
    : lastError(0), readMode(-1), io(nullptr), platform(&p), openWaitMs(INFINITE), opener(nullptr) {}
CSerial::~CSerial() {
    if (mem.open) CSerial::Close();
}

LONG CSerial::Open(const char* port, DWORD, DWORD, bool overlapped) {
    if (mem.open) return lastError = ERROR_ALREADY_INITIALIZED;
    if (!port) return lastError = ERROR_INVALID_NAME;
    if (4 + strnlen(port, kDevicePathSize) + 1 > kDevicePathSize) return lastError = ERROR_FILENAME_EXCED_RANGE;
    mem.open = true;
    mem.overlapped = overlapped;
    mem.readWait = 0;
    readMode = ReadImmediate;
    return lastError = 0;
}
LONG CSerial::Close() {
    if (!mem.open) return lastError = 0;
    Purge();
    EndRead(kStatusCancelled);  // closing the handle ends what is outstanding on it
    mem.open = false;
    readMode = -1;
    return lastError;
}
LONG CSerial::Purge() {
    if (Opened() == 0) mem.queued.clear();
    return lastError = Opened();
}
LONG CSerial::Configure(DWORD, BYTE, BYTE, BYTE) { return lastError = Opened(); }
LONG CSerial::SetReadWait(DWORD milliseconds) {
    if (Opened() == 0) mem.readWait = milliseconds;
    return lastError = Opened();
}
LONG CSerial::SetReadMode(int mode) {
    if (mode == ReadBlocking) abort();  // never the link's
    if ((lastError = Opened()) == 0 && mode != ReadImmediate) lastError = kInvalidArgument;
    if (lastError == 0) mem.readWait = 0;
    return lastError;
}
LONG CSerial::Write(const void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD timeout) {
    if ((lastError = Refused(buffer, size, count, overlapped, timeout)) != 0) return lastError;
    if (overlapped) abort();  // never the link's
    if (count) *count = size;
    memport::onWrite(static_cast<const uint8_t*>(buffer), size);
    return 0;
}
LONG CSerial::Read(void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD timeout) {
    if ((lastError = Refused(buffer, size, count, overlapped, timeout)) != 0) return lastError;
    if (!overlapped) {
        const DWORD n = Take(static_cast<uint8_t*>(buffer), size);
        if (count) *count = n;
        return 0;
    }
    if (mem.pending) abort();  // a second outstanding read: never the link's
    overlapped->Internal = STATUS_PENDING;
    mem.pending = overlapped;
    mem.buffer = static_cast<uint8_t*>(buffer);
    mem.size = size;
    mem.issuedMs = mem.now;
    if (!mem.queued.empty() || mem.readWait == 0) EndRead(0);
    return 0;
}

// Never called by the link.
LONG CSerial::SetEventCharacter(BYTE, bool) { abort(); }
LONG CSerial::SetEventMask(DWORD) { abort(); }
LONG CSerial::WaitForEvent(OVERLAPPED*, DWORD) { abort(); }
LONG CSerial::SetHandshakeMode(int) { abort(); }
LONG CSerial::GetBaudRate() { abort(); }
LONG CSerial::GetDataBits() { abort(); }
LONG CSerial::GetParity() { abort(); }
LONG CSerial::GetStopBits() { abort(); }
LONG CSerial::GetHandshakeMode() { abort(); }
DWORD CSerial::GetEventMask() { abort(); }
BYTE CSerial::GetEventCharacter() { abort(); }
LONG CSerial::WriteString(const char*, DWORD*, OVERLAPPED*, DWORD) { abort(); }

// The seam: only its clock is stood in for.
DWORD IPlatform::NowMs() { return mem.now++; }
DWORD IPlatform::TickCount() { abort(); }
void IPlatform::HidGetHidGuid(GUID*) { abort(); }
HDEVINFO IPlatform::SetupGetClassDevs(const GUID*, DWORD) { abort(); }
BOOL IPlatform::SetupEnumDeviceInterfaces(HDEVINFO, const GUID*, DWORD, SP_DEVICE_INTERFACE_DATA*) { abort(); }
BOOL IPlatform::SetupGetDeviceInterfaceDetail(HDEVINFO, SP_DEVICE_INTERFACE_DATA*, SP_DEVICE_INTERFACE_DETAIL_DATA_A*,
                                              DWORD, DWORD*) {
    abort();
}
BOOL IPlatform::SetupDestroyDeviceInfoList(HDEVINFO) { abort(); }
HANDLE IPlatform::HidOpen(const char*, DWORD, DWORD, DWORD) { abort(); }
BOOL IPlatform::HidGetAttributes(HANDLE, HIDD_ATTRIBUTES*) { abort(); }
BOOL IPlatform::HidGetPreparsedData(HANDLE, PHIDP_PREPARSED_DATA*) { abort(); }
NTSTATUS IPlatform::HidGetCaps(PHIDP_PREPARSED_DATA, HIDP_CAPS*) { abort(); }
BOOL IPlatform::HidFreePreparsedData(PHIDP_PREPARSED_DATA) { abort(); }
BOOL IPlatform::HidWrite(HANDLE, const void*, DWORD, DWORD*, OVERLAPPED*) { abort(); }
BOOL IPlatform::HidRead(HANDLE, void*, DWORD, DWORD*, OVERLAPPED*) { abort(); }
BOOL IPlatform::HidCancelIo(HANDLE) { abort(); }
BOOL IPlatform::HidGetOverlappedResult(HANDLE, OVERLAPPED*, DWORD*, BOOL) { abort(); }
BOOL IPlatform::HidWaitOverlapped(HANDLE, OVERLAPPED*, DWORD*, DWORD) { abort(); }
BOOL IPlatform::HidClose(HANDLE) { abort(); }
HANDLE IPlatform::SerialOpen(const char*, DWORD) { abort(); }
DWORD IPlatform::ForegroundThread() { abort(); }
HKL IPlatform::GetKeyboardLayout(DWORD) { abort(); }
SHORT IPlatform::VkKeyScanExW(WCHAR, HKL) { abort(); }
UINT IPlatform::MapVirtualKeyExW(UINT, UINT, HKL) { abort(); }
SHORT IPlatform::GetKeyState(DWORD, int) { abort(); }
UINT IPlatform::SendInputs(UINT, INPUT*, int) { abort(); }

void BusyWait(IPlatform& platform, uint16_t milliseconds) {
    const DWORD start = platform.NowMs();
    while (static_cast<DWORD>(platform.NowMs() - start) <= milliseconds) continue;
}
