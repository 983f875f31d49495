// The serial port wrapper. Settings operations read the port's current state,
// change only their own members and write it back, so everything they leave
// alone keeps the system's default configuration applied by Open.
#include "serial.h"

#include <cstring>

CSerial::CSerial()
    : lastError(0), handle(nullptr), events(0), eventMask(0), ioEvent(nullptr), readMode(-1), lineErrors(0) {}

CSerial::~CSerial() {
    // This class's own Close: no derived part is left to dispatch to.
    if (handle) CSerial::Close();
}

LONG CSerial::Open(const char* port, DWORD inQueue, DWORD outQueue, bool overlapped) {
    lastError = 0;
    if (handle) return lastError = ERROR_ALREADY_INITIALIZED;
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

    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return lastError = static_cast<LONG>(GetLastError());
    handle = h;

    if (overlapped) {
        ioEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!ioEvent) {
            lastError = static_cast<LONG>(GetLastError());
            CloseHandle(handle);
            handle = nullptr;
            return lastError;
        }
    }

    if (inQueue != 0 || outQueue != 0) {
        if (!SetupComm(handle, inQueue, outQueue)) {
            LONG error = static_cast<LONG>(GetLastError());
            Close();
            return lastError = error;
        }
    }

    readMode = -1;
    lineErrors = 0;
    SetEventMask(kDefaultEventMask);
    SetReadMode(ReadImmediate);
    LONG result = lastError;

    // The port's own defaults underlie whatever Configure and the modes leave
    // alone; not every port has them, so failures here do not matter.
    COMMCONFIG config;
    memset(&config, 0, sizeof config);
    config.dwSize = sizeof config;
    DWORD size = sizeof config;
    if (GetDefaultCommConfigA(port, &config, &size)) SetCommConfig(handle, &config, size);

    return lastError = result;
}

LONG CSerial::Close() {
    lastError = 0;
    if (!handle) return 0;
    Purge();
    if (ioEvent) {
        CloseHandle(ioEvent);
        ioEvent = nullptr;
    }
    CloseHandle(handle);
    handle = nullptr;
    readMode = -1;
    lineErrors = 0;
    return lastError;
}

bool CSerial::ReadState(DCB& dcb) {
    if (!handle) {
        lastError = ERROR_INVALID_HANDLE;
        return false;
    }
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
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
    if (!SetCommState(handle, &dcb)) lastError = static_cast<LONG>(GetLastError());
    return lastError;
}

LONG CSerial::SetEventCharacter(BYTE character, bool addToMask) {
    lastError = 0;
    DCB dcb;
    if (!ReadState(dcb)) return lastError;
    dcb.EvtChar = static_cast<char>(character);
    if (addToMask) SetEventMask(GetEventMask() | EV_RXFLAG);
    if (!SetCommState(handle, &dcb)) lastError = static_cast<LONG>(GetLastError());
    return lastError;
}

LONG CSerial::SetEventMask(DWORD mask) {
    lastError = 0;
    if (!handle) return lastError = ERROR_INVALID_HANDLE;
    if (!SetCommMask(handle, mask)) return lastError = static_cast<LONG>(GetLastError());
    eventMask = mask;
    return lastError;
}

LONG CSerial::WaitForEvent(OVERLAPPED* overlapped, DWORD timeout) {
    return Io(IoKind::WaitEvent, nullptr, 0, nullptr, overlapped, timeout);
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
    if (!SetCommState(handle, &dcb)) lastError = static_cast<LONG>(GetLastError());
    return lastError;
}

LONG CSerial::SetReadMode(int mode) {
    lastError = 0;
    if (!handle) return lastError = ERROR_INVALID_HANDLE;
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(handle, &timeouts)) return lastError = static_cast<LONG>(GetLastError());
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
    if (!SetCommTimeouts(handle, &timeouts)) {
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

BOOL CSerial::CancelAndCollect(OVERLAPPED& record, DWORD* count) {
    CancelIo(handle);
    // Waiting here is bounded: the cancelled operation completes at once. Until
    // it has, the system may still write to the record, the buffer and the count.
    return GetOverlappedResult(handle, &record, count, TRUE);
}

LONG CSerial::Io(IoKind kind, void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD timeout) {
    lastError = 0;
    DWORD privateCount = 0;
    if (kind != IoKind::WaitEvent) {
        if (!count) count = &privateCount;
        *count = 0;
    } else {
        count = &privateCount;
    }
    if (!handle) return lastError = ERROR_INVALID_HANDLE;
    if (!ioEvent && (overlapped || timeout != INFINITE)) return lastError = ERROR_INVALID_FUNCTION;
    if (!buffer && size != 0) return lastError = ERROR_INVALID_PARAMETER;

    // An immediate read with nothing queued is the common case of a poll: the
    // port's queue count answers it without the far dearer read, pending and
    // cancel. The error bits that this query clears are kept for GetLineErrors.
    if (kind == IoKind::Read && readMode == ReadImmediate && !overlapped) {
        COMSTAT status;
        DWORD errors = 0;
        if (ClearCommError(handle, &errors, &status)) {
            lineErrors |= errors;
            if (status.cbInQue == 0) return lastError;
        }
    }

    OVERLAPPED privateRecord;
    OVERLAPPED* record = overlapped;
    if (!record && ioEvent) {
        memset(&privateRecord, 0, sizeof privateRecord);
        privateRecord.hEvent = ioEvent;
        record = &privateRecord;
    }

    BOOL done;
    switch (kind) {
    case IoKind::Write:
        done = WriteFile(handle, buffer, size, count, record);
        break;
    case IoKind::Read:
        done = ReadFile(handle, buffer, size, count, record);
        break;
    default:
        done = WaitCommEvent(handle, &events, record);
        break;
    }
    if (done) {
        if (record && record->hEvent) SetEvent(record->hEvent);
        return lastError;
    }
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return lastError = static_cast<LONG>(error);
    if (record != &privateRecord) return lastError;

    // An immediate read must not wait, yet some serial drivers (Wine's among
    // them) keep an overlapped read pending until a byte arrives. Take what has
    // arrived and cancel the rest; bytes not yet taken stay queued in the port.
    if (kind == IoKind::Read && readMode == ReadImmediate && !HasOverlappedIoCompleted(&privateRecord)) {
        if (CancelAndCollect(privateRecord, count)) return lastError;
        error = GetLastError();
        if (error == ERROR_OPERATION_ABORTED) return lastError;
        return lastError = static_cast<LONG>(error);
    }

    switch (WaitForSingleObject(ioEvent, timeout)) {
    case WAIT_OBJECT_0:
        // A wait for line events can end in failure too (an aborted wait), so
        // its result is fetched like a transfer's rather than taken as success.
        if (!GetOverlappedResult(handle, &privateRecord, count, FALSE)) lastError = static_cast<LONG>(GetLastError());
        return lastError;
    case WAIT_TIMEOUT:
        // Collect the cancelled operation so that nothing is written to this
        // stack frame after the return; the count then says what went through.
        // One that finished just before the cancel is a success: its bytes
        // must not be reported as a time-out and dropped.
        if (CancelAndCollect(privateRecord, count)) return lastError;
        return lastError = ERROR_TIMEOUT;
    default:
        error = GetLastError();
        CancelAndCollect(privateRecord, count);
        return lastError = static_cast<LONG>(error);
    }
}

LONG CSerial::Purge() {
    lastError = 0;
    if (!handle) return lastError = ERROR_INVALID_HANDLE;
    if (!PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR)) lastError = static_cast<LONG>(GetLastError());
    return lastError;
}

LONG CSerial::SendBreak() {
    lastError = 0;
    if (!handle) return lastError = ERROR_INVALID_HANDLE;
    SetCommBreak(handle);
    Sleep(100);
    ClearCommBreak(handle);
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
    if (!ClearCommError(handle, &errors, nullptr)) {
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
    if (!GetCommModemStatus(handle, &status)) {
        lastError = static_cast<LONG>(GetLastError());
        return false;
    }
    return (status & bit) != 0;
}

bool CSerial::IsCtsOn() { return ModemStatus(MS_CTS_ON); }
bool CSerial::IsDsrOn() { return ModemStatus(MS_DSR_ON); }
bool CSerial::IsRingOn() { return ModemStatus(MS_RING_ON); }
bool CSerial::IsCarrierOn() { return ModemStatus(MS_RLSD_ON); }
