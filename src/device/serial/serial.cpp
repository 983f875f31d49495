// The serial port wrapper. Settings operations read the port's current state,
// change only their own members and write it back, so everything they leave
// alone keeps what Open set.
#include "serial.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <process.h>
#include <utility>
#include <vector>

// What the system works on while an operation on the private record runs.
struct CSerial::IoBlock {
    OVERLAPPED record{};
    DWORD count = 0;   // bytes the operation moved
    DWORD events = 0;  // what a wait for line events reported
    IoKind kind = IoKind::Read;
    bool busy = false;  // started and not yet collected
    // The bytes to write or the bytes read; callers' buffers are never handed
    // to the system, so nothing is written to them after a call returns.
    std::vector<BYTE> data;
    // Bytes of a read collected after its call had returned, for the next Read.
    std::vector<BYTE> carry;
};

// An open running on a thread of its own; shared by the thread and the object
// that waits for it, freed by whichever lets go last.
struct CSerial::Opener {
    volatile LONG refs = 2;
    CHandle done;    // manual-reset: the system's open has returned
    CHandle result;  // the port, until the object takes it
    DWORD error = 0;
    IPlatform* platform = nullptr;
    DWORD flags = 0;
    HMODULE module = nullptr;  // keeps this code mapped while the thread runs
    char path[kDevicePathSize] = {};
};

const CSerial::SettingsCalls CSerial::kSystemSettingsCalls = {
    ::GetDefaultCommConfigA, ::SetCommConfig, ::GetCommState, ::SetCommState, ::GetCommTimeouts, ::SetCommTimeouts};
CSerial::SettingsCalls CSerial::settingsCalls = CSerial::kSystemSettingsCalls;
BOOL(WINAPI* CSerial::cancelIo)(HANDLE) = ::CancelIo;
BOOL(WINAPI* CSerial::cancelIoEx)(HANDLE, OVERLAPPED*) = ::CancelIoEx;
BOOL(WINAPI* CSerial::clearCommError)(HANDLE, LPDWORD, LPCOMSTAT) = ::ClearCommError;

CSerial::CSerial(IPlatform& platform)
    : lastError(0),
      events(0),
      eventMask(0),
      readMode(-1),
      lineErrors(0),
      lastUncountedRead(0),
      io(nullptr),
      platform(&platform),
      openWaitMs(INFINITE),
      opener(nullptr) {}

CSerial::~CSerial() {
    // This class's own Close: no derived part is left to dispatch to.
    if (handle.Get()) CSerial::Close();
    if (opener) Release(opener);
    delete io;
}

// The last to let go frees it; the port of an abandoned open that has
// returned goes with it.
void CSerial::Release(Opener* opener) {
    if (InterlockedDecrement(&opener->refs) == 0) delete opener;
}

unsigned __stdcall CSerial::OpenerThread(void* argument) {
    auto* opener = static_cast<Opener*>(argument);
    HANDLE port = opener->platform->SerialOpen(opener->path, opener->flags);
    opener->error = GetLastError();
    opener->result.Reset(port);
    SetEvent(opener->done.Get());
    HMODULE module = opener->module;
    Release(opener);
    if (module) FreeLibraryAndExitThread(module, 0);
    return 0;
}

bool CSerial::StartOpener(const char* path, DWORD flags, DWORD& error) {
    auto* started = new (std::nothrow) Opener;
    if (!started) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    started->done.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    error = started->done ? static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY) : GetLastError();
    started->platform = platform;
    started->flags = flags;
    memcpy(started->path, path, sizeof started->path);
    // The thread holds this module (the DLL, or the program it is linked
    // into) until it ends, so a host that unloads the driver meanwhile does
    // not pull the code from under a blocked open.
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&CSerial::OpenerThread),
                       &started->module);
    const uintptr_t thread =
        started->done ? _beginthreadex(nullptr, 0, &CSerial::OpenerThread, started, 0, nullptr) : 0;
    if (!thread) {
        if (started->module) FreeLibrary(started->module);
        delete started;
        return false;
    }
    CHandle running(reinterpret_cast<HANDLE>(thread));  // not waited for: closed here
    opener = started;
    return true;
}

CHandle CSerial::OpenDevicePath(const char* path, DWORD flags, DWORD& error) {
    if (opener && (strcmp(opener->path, path) != 0 || opener->flags != flags)) {
        Release(opener);  // another port now: the old open is abandoned
        opener = nullptr;
    }
    if (!opener && openWaitMs == INFINITE) {
        HANDLE port = platform->SerialOpen(path, flags);
        error = GetLastError();
        return CHandle(port);
    }
    if (!opener && !StartOpener(path, flags, error)) return CHandle();
    if (WaitForSingleObject(opener->done.Get(), openWaitMs) != WAIT_OBJECT_0) {
        error = ERROR_IO_PENDING;
        return CHandle();
    }
    CHandle port = std::move(opener->result);
    error = opener->error;
    Release(opener);
    opener = nullptr;
    return port;
}

LONG CSerial::Open(const char* port, DWORD inQueue, DWORD outQueue, bool overlapped) {
    lastError = 0;
    if (handle.Get()) return lastError = ERROR_ALREADY_INITIALIZED;
    if (!port) return lastError = ERROR_INVALID_NAME;

    static const char kPrefix[] = "\\\\.\\";
    const size_t prefixLength = sizeof kPrefix - 1;
    const size_t nameLength = strnlen(port, kDevicePathSize);
    // The path and its terminator must fit; refuse rather than truncate, or a
    // different port could be opened.
    if (prefixLength + nameLength + 1 > kDevicePathSize) return lastError = ERROR_FILENAME_EXCED_RANGE;
    char path[kDevicePathSize];
    memcpy(path, kPrefix, prefixLength);
    memcpy(path + prefixLength, port, nameLength + 1);

    DWORD error = 0;
    CHandle opened = OpenDevicePath(path, overlapped ? FILE_FLAG_OVERLAPPED : 0, error);
    if (!opened) return lastError = static_cast<LONG>(error);
    CHandle event;
    if (overlapped) {
        event.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (!event) return lastError = static_cast<LONG>(GetLastError());  // the port closes by scope
    }
    handle = std::move(opened);
    ioEvent = std::move(event);

    if (inQueue != 0 || outQueue != 0) {
        if (!SetupComm(handle.Get(), inQueue, outQueue)) {
            LONG error = static_cast<LONG>(GetLastError());
            Close();
            return lastError = error;
        }
    }

    readMode = -1;
    lineErrors = 0;
    lastUncountedRead = platform->NowMs();
    SetEventMask(kDefaultEventMask);

    // The port's own defaults first; not every port has them, so failures here
    // do not matter. They may ask for flow control, so everything the link
    // depends on is set over them.
    COMMCONFIG config;
    memset(&config, 0, sizeof config);
    config.dwSize = sizeof config;
    DWORD size = sizeof config;
    if (settingsCalls.getDefaultCommConfig(port, &config, &size))
        settingsCalls.setCommConfig(handle.Get(), &config, size);

    // A port that refuses these settings stays open with the error returned:
    // with flow control or NUL stripping left on it would lose key frames.
    return ApplyLinkSettings();
}

DCB CSerial::LinkSettings(const DCB& current) {
    // The XON/XOFF limits are kept: they matter only with flow control, and
    // the port's driver checks them against its own queue sizes.
    DCB dcb = current;
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 38400;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.fDummy2 = 0;
    dcb.wReserved = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // The system refuses equal XON and XOFF characters, even unused.
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    return dcb;
}

LONG CSerial::ApplyLinkSettings() {
    lastError = 0;
    DCB dcb;
    if (!ReadState(dcb)) return lastError;
    dcb = LinkSettings(dcb);
    if (!settingsCalls.setCommState(handle.Get(), &dcb)) return lastError = static_cast<LONG>(GetLastError());
    COMMTIMEOUTS timeouts = kLinkTimeouts;
    if (!settingsCalls.setCommTimeouts(handle.Get(), &timeouts)) return lastError = static_cast<LONG>(GetLastError());
    readMode = ReadImmediate;
    return lastError;
}

LONG CSerial::Close() {
    lastError = 0;
    if (opener) {
        Release(opener);
        opener = nullptr;
    }
    if (!handle) return 0;
    Purge();
    const LONG result = lastError;
    // An operation abandoned by an earlier call still holds the block. Closing
    // the port ends it; one that the system still does not let go of keeps
    // the block for ever, since freeing it could let the late completion write
    // into freed memory.
    const bool outstanding = io && io->busy && !CollectAbandoned();
    if (outstanding) cancelIoEx(handle.Get(), &io->record);
    handle.Reset();
    if (outstanding) {
        WaitForSingleObject(ioEvent.Get(), kCancelGraceMs);
        if (HasOverlappedIoCompleted(&io->record)) {
            io->busy = false;
        } else {
            io = nullptr;  // given up on purpose, see above
        }
    }
    if (io) io->carry.clear();
    ioEvent.Reset();
    readMode = -1;
    lineErrors = 0;
    return lastError = result;
}

bool CSerial::ReadState(DCB& dcb) {
    if (!handle) {
        lastError = ERROR_INVALID_HANDLE;
        return false;
    }
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!settingsCalls.getCommState(handle.Get(), &dcb)) {
        lastError = static_cast<LONG>(GetLastError());
        return false;
    }
    return true;
}

LONG CSerial::Configure(DWORD baudRate, BYTE dataBits, BYTE parity, BYTE stopBits) {
    lastError = 0;
    DCB dcb;
    if (!ReadState(dcb)) return lastError;
    dcb.BaudRate = baudRate;
    dcb.ByteSize = dataBits;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    dcb.fParity = parity != NOPARITY ? 1 : 0;
    if (!settingsCalls.setCommState(handle.Get(), &dcb)) lastError = static_cast<LONG>(GetLastError());
    return lastError;
}

LONG CSerial::SetEventCharacter(BYTE character, bool addToMask) {
    lastError = 0;
    DCB dcb;
    if (!ReadState(dcb)) return lastError;
    dcb.EvtChar = static_cast<char>(character);
    if (addToMask) SetEventMask(GetEventMask() | EV_RXFLAG);
    if (!settingsCalls.setCommState(handle.Get(), &dcb)) lastError = static_cast<LONG>(GetLastError());
    return lastError;
}

LONG CSerial::SetEventMask(DWORD mask) {
    lastError = 0;
    if (!handle) return lastError = ERROR_INVALID_HANDLE;
    if (!SetCommMask(handle.Get(), mask)) return lastError = static_cast<LONG>(GetLastError());
    eventMask = mask;
    return lastError;
}

LONG CSerial::WaitForEvent(OVERLAPPED* overlapped, DWORD timeout) {
    return Io(IoKind::WaitEvent, nullptr, 0, nullptr, overlapped, timeout);
}

LONG CSerial::SetReadWait(DWORD milliseconds) {
    lastError = 0;
    if (!handle) return lastError = ERROR_INVALID_HANDLE;
    COMMTIMEOUTS timeouts = kLinkTimeouts;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = milliseconds;
    if (!settingsCalls.setCommTimeouts(handle.Get(), &timeouts)) lastError = static_cast<LONG>(GetLastError());
    return lastError;
}

LONG CSerial::SetHandshakeMode(int mode) {
    lastError = 0;
    DCB dcb;
    if (!ReadState(dcb)) return lastError;
    switch (mode) {
    case HandshakeOff:
        dcb.fOutxCtsFlow = 0;
        dcb.fOutxDsrFlow = 0;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        break;
    case HandshakeHardware:
        dcb.fOutxCtsFlow = 1;
        dcb.fOutxDsrFlow = 1;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        break;
    case HandshakeSoftware:
        dcb.fOutxCtsFlow = 0;
        dcb.fOutxDsrFlow = 0;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fOutX = 1;
        dcb.fInX = 1;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        break;
    default:
        return lastError = kInvalidArgument;
    }
    if (!settingsCalls.setCommState(handle.Get(), &dcb)) lastError = static_cast<LONG>(GetLastError());
    return lastError;
}

LONG CSerial::SetReadMode(int mode) {
    lastError = 0;
    if (!handle) return lastError = ERROR_INVALID_HANDLE;
    COMMTIMEOUTS timeouts;
    if (!settingsCalls.getCommTimeouts(handle.Get(), &timeouts)) return lastError = static_cast<LONG>(GetLastError());
    switch (mode) {
    case ReadImmediate:
        timeouts.ReadIntervalTimeout = MAXDWORD;
        break;
    case ReadBlocking:
        timeouts.ReadIntervalTimeout = 0;
        break;
    default:
        return lastError = kInvalidArgument;
    }
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    if (!settingsCalls.setCommTimeouts(handle.Get(), &timeouts)) {
        // The port may now be in either mode.
        readMode = -1;
        return lastError = static_cast<LONG>(GetLastError());
    }
    readMode = mode;
    return lastError;
}

LONG CSerial::GetBaudRate() {
    lastError = 0;
    DCB dcb;
    return ReadState(dcb) ? static_cast<LONG>(dcb.BaudRate) : -1;
}

LONG CSerial::GetDataBits() {
    lastError = 0;
    DCB dcb;
    return ReadState(dcb) ? dcb.ByteSize : -1;
}

LONG CSerial::GetParity() {
    lastError = 0;
    DCB dcb;
    if (!ReadState(dcb)) return -1;
    return dcb.fParity ? dcb.Parity : 0;
}

LONG CSerial::GetStopBits() {
    lastError = 0;
    DCB dcb;
    return ReadState(dcb) ? dcb.StopBits : -1;
}

LONG CSerial::GetHandshakeMode() {
    lastError = 0;
    DCB dcb;
    if (!ReadState(dcb)) return -1;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return HandshakeHardware;
    if (dcb.fOutX && dcb.fInX) return HandshakeSoftware;
    return HandshakeOff;
}

DWORD CSerial::GetEventMask() {
    lastError = 0;
    if (!handle) {
        lastError = ERROR_INVALID_HANDLE;
        return 0;
    }
    return eventMask;
}

BYTE CSerial::GetEventCharacter() {
    lastError = 0;
    DCB dcb;
    return ReadState(dcb) ? static_cast<BYTE>(dcb.EvtChar) : 0;
}

LONG CSerial::WriteString(const char* text, DWORD* count, OVERLAPPED* overlapped, DWORD timeout) {
    // A missing text is an empty one: nothing to write, not a fault.
    DWORD length = text ? static_cast<DWORD>(strlen(text)) : 0;
    return Io(IoKind::Write, const_cast<char*>(text), length, count, overlapped, timeout);
}

LONG CSerial::Write(const void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD timeout) {
    return Io(IoKind::Write, const_cast<void*>(buffer), size, count, overlapped, timeout);
}

LONG CSerial::Read(void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD timeout) {
    return Io(IoKind::Read, buffer, size, count, overlapped, timeout);
}

CSerial::Collect CSerial::CollectFinished() {
    DWORD moved = 0;
    if (!GetOverlappedResult(handle.Get(), &io->record, &moved, FALSE)) {
        DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE) return Collect::Outstanding;
        io->busy = false;
        io->count = moved;  // what went through before the failure
        SetLastError(error);
        return Collect::Failed;
    }
    io->busy = false;
    io->count = moved;
    return Collect::Done;
}

CSerial::Collect CSerial::CancelAndCollect() {
    cancelIo(handle.Get());
    // A cancelled operation normally finishes at once. One that has not after
    // the grace period is left with the block and collected by a later call.
    if (!HasOverlappedIoCompleted(&io->record)) WaitForSingleObject(ioEvent.Get(), kCancelGraceMs);
    if (!HasOverlappedIoCompleted(&io->record)) return Collect::Outstanding;
    return CollectFinished();
}

bool CSerial::CollectAbandoned() {
    if (!io->busy) return true;
    // Aimed at this one operation: it works from any thread and leaves
    // operations on callers' own records alone.
    if (!HasOverlappedIoCompleted(&io->record)) cancelIoEx(handle.Get(), &io->record);
    if (!HasOverlappedIoCompleted(&io->record) || CollectFinished() == Collect::Outstanding) return false;
    // Bytes a late read took are the oldest not yet handed out.
    if (io->kind == IoKind::Read) {
        // A read is only started with the carry empty, so the staging buffer
        // simply becomes the carry (no allocation, nothing that can throw).
        const DWORD taken = std::min<DWORD>(io->count, static_cast<DWORD>(io->data.size()));
        if (taken > 0 && io->carry.empty()) {
            io->carry.swap(io->data);
            io->carry.resize(taken);
        }
    } else if (io->kind == IoKind::WaitEvent) {
        events = io->events;
    }
    return true;
}

BOOL CSerial::StartOperation(IoKind kind, void* buffer, DWORD size, DWORD* count, DWORD* eventBits,
                             OVERLAPPED* record) {
    switch (kind) {
    case IoKind::Write:
        return WriteFile(handle.Get(), buffer, size, count, record);
    case IoKind::Read:
        return ReadFile(handle.Get(), buffer, size, count, record);
    default:
        return WaitCommEvent(handle.Get(), eventBits, record);
    }
}

LONG CSerial::IoOnCallerRecord(IoKind kind, void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped) {
    if (StartOperation(kind, buffer, size, count, &events, overlapped)) {
        if (overlapped && overlapped->hEvent) SetEvent(overlapped->hEvent);
        return lastError;
    }
    DWORD error = GetLastError();
    // Pending on the caller's record: the caller waits for it.
    if (error != ERROR_IO_PENDING) lastError = static_cast<LONG>(error);
    return lastError;
}

LONG CSerial::Io(IoKind kind, void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD timeout) {
    lastError = 0;
    DWORD privateCount = 0;
    if (kind == IoKind::WaitEvent || !count) count = &privateCount;
    *count = 0;
    if (!handle) return lastError = ERROR_INVALID_HANDLE;
    if (!ioEvent && (overlapped || timeout != INFINITE)) return lastError = ERROR_INVALID_FUNCTION;
    if (!buffer && size != 0) return lastError = ERROR_INVALID_PARAMETER;
    // A read on the caller's record must not overtake bytes an abandoned read
    // took (or is still taking) on the private one.
    if (overlapped && kind == IoKind::Read && io && (!CollectAbandoned() || !io->carry.empty()))
        return lastError = ERROR_BUSY;
    if (overlapped || !ioEvent) return IoOnCallerRecord(kind, buffer, size, count, overlapped);

    if (!io) io = new (std::nothrow) IoBlock;
    if (!io) return lastError = ERROR_NOT_ENOUGH_MEMORY;
    const bool immediateRead = kind == IoKind::Read && readMode == ReadImmediate;
    // The system still holds an operation an earlier call gave up on. For a
    // poll nothing new has arrived; anything else cannot start.
    if (!CollectAbandoned()) return immediateRead ? lastError : (lastError = ERROR_BUSY);

    Transfer transfer{kind, static_cast<BYTE*>(buffer), size, count, 0};
    if (TakeCarry(transfer)) return lastError;
    const QueueCheck queue = immediateRead ? CheckQueue(transfer) : QueueCheck::Read;
    if (queue == QueueCheck::Skip || !Stage(transfer)) return lastError;
    return Issue(transfer, immediateRead, queue == QueueCheck::ReadQueued, timeout);
}

bool CSerial::TakeCarry(Transfer& transfer) {
    if (transfer.kind != IoKind::Read || io->carry.empty() || transfer.size == 0) return false;
    const DWORD taken = std::min<DWORD>(transfer.size, static_cast<DWORD>(io->carry.size()));
    memcpy(transfer.out, io->carry.data(), taken);
    io->carry.erase(io->carry.begin(), io->carry.begin() + taken);
    transfer.delivered = taken;
    *transfer.count = taken;
    transfer.out += taken;
    transfer.size -= taken;
    return transfer.size == 0;
}

// An immediate read with nothing queued is the common case of a poll: the
// port's queue count answers it without the far dearer read. The error bits
// that this query clears are kept for GetLineErrors. A read asks only for what
// is queued, so that it finishes at once even on a serial driver that keeps an
// immediate read pending until more bytes arrive. A failing query is a dead
// port (a pulled adapter), reported as the read's failure; only a driver that
// does not offer the query is read blindly. A count of 0 is not trusted for
// ever: now and then the read is issued all the same, for drivers that report
// 0 or report late.
CSerial::QueueCheck CSerial::CheckQueue(Transfer& transfer) {
    COMSTAT status;
    DWORD errors = 0;
    if (!clearCommError(handle.Get(), &errors, &status)) {
        const DWORD error = GetLastError();
        if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED) return QueueCheck::Read;
        lastError = static_cast<LONG>(error);
        return QueueCheck::Skip;
    }
    lineErrors |= errors;
    if (status.cbInQue != 0) {
        transfer.size = std::min(transfer.size, status.cbInQue);
        return QueueCheck::ReadQueued;
    }
    const DWORD now = platform->NowMs();
    if (now - lastUncountedRead < kEmptyReadPeriodMs) return QueueCheck::Skip;
    lastUncountedRead = now;
    return QueueCheck::Read;
}

bool CSerial::Stage(const Transfer& transfer) {
    // A staging buffer grown by one large transfer is not kept for ever.
    constexpr size_t kKeptStaging = size_t{64} * 1024;
    if (io->data.size() > kKeptStaging && transfer.size <= kKeptStaging) std::vector<BYTE>().swap(io->data);
    if (transfer.kind != IoKind::WaitEvent && io->data.size() < transfer.size) {
        try {
            // Room for any frame or poll read at once, so that the buffer is
            // allocated once per port rather than grown frame by frame.
            io->data.resize(std::max<size_t>(transfer.size, 256));
        } catch (const std::bad_alloc&) {
            lastError = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
    }
    if (transfer.kind == IoKind::Write && transfer.size > 0) memcpy(io->data.data(), transfer.out, transfer.size);
    memset(&io->record, 0, sizeof io->record);
    io->record.hEvent = ioEvent.Get();
    io->count = 0;
    io->events = 0;
    io->kind = transfer.kind;
    return true;
}

void CSerial::Deliver(const Transfer& transfer) {
    if (transfer.kind == IoKind::Read) {
        const DWORD taken = std::min(io->count, transfer.size);
        memcpy(transfer.out, io->data.data(), taken);
        *transfer.count = transfer.delivered + taken;
    } else if (transfer.kind == IoKind::Write) {
        *transfer.count = std::min(io->count, transfer.size);
    } else {
        events = io->events;
    }
}

LONG CSerial::Issue(const Transfer& transfer, bool immediateRead, bool onlyQueued, DWORD timeout) {
    if (StartOperation(transfer.kind, io->data.data(), transfer.size, &io->count, &io->events, &io->record)) {
        SetEvent(ioEvent.Get());
        Deliver(transfer);
        return lastError;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return lastError = static_cast<LONG>(error);
    io->busy = true;
    // An immediate read must not wait. It asked only for bytes already queued,
    // so it is given a short while to finish first: a driver that completes
    // such reads a moment later would otherwise have every poll cancelled
    // before it took anything.
    if (onlyQueued && !HasOverlappedIoCompleted(&io->record)) WaitForSingleObject(ioEvent.Get(), kQueuedReadGraceMs);
    if (immediateRead && !HasOverlappedIoCompleted(&io->record)) return CancelImmediateRead(transfer);
    return AwaitPending(transfer, timeout);
}

// An immediate read pending all the same: it hands over what it took and is
// cancelled; bytes it did not take stay queued in the port.
LONG CSerial::CancelImmediateRead(const Transfer& transfer) {
    const Collect collected = CancelAndCollect();
    if (collected == Collect::Outstanding) return lastError;
    const DWORD error = collected == Collect::Failed ? GetLastError() : 0;
    Deliver(transfer);
    if (error != 0 && error != ERROR_OPERATION_ABORTED) lastError = static_cast<LONG>(error);
    return lastError;
}

LONG CSerial::AwaitPending(const Transfer& transfer, DWORD timeout) {
    switch (WaitForSingleObject(ioEvent.Get(), timeout)) {
    case WAIT_OBJECT_0: {
        // A wait for line events can end in failure too (an aborted wait), so
        // its result is fetched like a transfer's rather than taken as success.
        Collect collected = CollectFinished();
        const bool cancelled = collected == Collect::Outstanding;
        if (cancelled) collected = CancelAndCollect();
        if (collected == Collect::Outstanding) return lastError = ERROR_TIMEOUT;
        if (collected == Collect::Failed) {
            // Our own cancel ended it: not the port's failure.
            const DWORD error = GetLastError();
            lastError = cancelled && error == ERROR_OPERATION_ABORTED ? ERROR_TIMEOUT : static_cast<LONG>(error);
        }
        Deliver(transfer);
        return lastError;
    }
    case WAIT_TIMEOUT: {
        // One that finished just before the cancel is a success: its bytes
        // must not be reported as a time-out and dropped. Otherwise the count
        // says what went through.
        const Collect collected = CancelAndCollect();
        if (collected != Collect::Outstanding) Deliver(transfer);
        if (collected == Collect::Done) return lastError;
        return lastError = ERROR_TIMEOUT;
    }
    default: {
        const DWORD error = GetLastError();
        if (CancelAndCollect() != Collect::Outstanding) Deliver(transfer);
        return lastError = static_cast<LONG>(error);
    }
    }
}

LONG CSerial::Purge() {
    lastError = 0;
    if (!handle) return lastError = ERROR_INVALID_HANDLE;
    if (!PurgeComm(handle.Get(), PURGE_TXCLEAR | PURGE_RXCLEAR)) lastError = static_cast<LONG>(GetLastError());
    return lastError;
}

LONG CSerial::SendBreak() {
    lastError = 0;
    if (!handle) return lastError = ERROR_INVALID_HANDLE;
    SetCommBreak(handle.Get());
    Sleep(100);
    ClearCommBreak(handle.Get());
    return lastError;
}

DWORD CSerial::TakeEvents() {
    DWORD taken = events & eventMask;
    events = 0;
    return taken;
}

DWORD CSerial::GetLineErrors() {
    lastError = 0;
    if (!handle) {
        lastError = ERROR_INVALID_HANDLE;
        return 0;
    }
    DWORD errors = 0;
    if (!ClearCommError(handle.Get(), &errors, nullptr)) {
        lastError = static_cast<LONG>(GetLastError());
        return 0;
    }
    errors |= lineErrors;
    lineErrors = 0;
    return errors;
}

bool CSerial::ModemStatus(DWORD bit) {
    lastError = 0;
    if (!handle) {
        lastError = ERROR_INVALID_HANDLE;
        return false;
    }
    DWORD status = 0;
    if (!GetCommModemStatus(handle.Get(), &status)) {
        lastError = static_cast<LONG>(GetLastError());
        return false;
    }
    return (status & bit) != 0;
}

bool CSerial::IsCtsOn() { return ModemStatus(MS_CTS_ON); }
bool CSerial::IsDsrOn() { return ModemStatus(MS_DSR_ON); }
bool CSerial::IsRingOn() { return ModemStatus(MS_RING_ON); }
bool CSerial::IsCarrierOn() { return ModemStatus(MS_RLSD_ON); }
