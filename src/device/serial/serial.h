// CSerial: one serial (COM) port of the Windows communications API.
// Every operation records a Win32 error number in the object (0 for success)
// and most return it.
//
// Use: construct, Open, Configure and any other settings, reads and writes,
// Close, destroy (destroying an open object closes it). One thread at a time:
// every operation that runs on the object's private overlapped record shares
// one event, and CancelIo only reaches I/O started by the calling thread.
#ifndef BRL_SERIAL_H
#define BRL_SERIAL_H

#include <windows.h>

#include "platform/handle.h"
#include "platform/platform.h"

class CSerial {
public:
    // Error codes beyond GetLastError's.
    static constexpr LONG kInvalidArgument = static_cast<LONG>(0x80070057);  // E_INVALIDARG
    enum HandshakeMode { HandshakeOff = 0, HandshakeHardware = 1, HandshakeSoftware = 2 };
    enum ReadMode { ReadImmediate = 0, ReadBlocking = 1 };

    // The device path ("\\.\" and the port name) lives in a buffer of this size,
    // so a port name may have at most kDevicePathSize - 5 characters.
    static constexpr size_t kDevicePathSize = 64;
    static constexpr DWORD kDefaultEventMask = EV_RXCHAR | EV_BREAK | EV_ERR;  // 0xC1

    // The port is opened through the seam's SerialOpen.
    explicit CSerial(IPlatform& platform = RealPlatform());
    CSerial(const CSerial&) = delete;
    CSerial& operator=(const CSerial&) = delete;

    // Virtual slots in this order; the destructor is slot 0.
    virtual ~CSerial();
    virtual LONG Open(const char* port, DWORD inQueue, DWORD outQueue, bool overlapped);
    virtual LONG Close();
    virtual LONG Configure(DWORD baudRate, BYTE dataBits, BYTE parity, BYTE stopBits);
    virtual LONG SetEventCharacter(BYTE character, bool addToMask);
    virtual LONG SetEventMask(DWORD mask);
    virtual LONG WaitForEvent(OVERLAPPED* overlapped, DWORD timeout);
    virtual LONG SetHandshakeMode(int mode);
    virtual LONG SetReadMode(int mode);
    virtual LONG GetBaudRate();
    virtual LONG GetDataBits();
    virtual LONG GetParity();
    virtual LONG GetStopBits();
    virtual LONG GetHandshakeMode();
    virtual DWORD GetEventMask();
    virtual BYTE GetEventCharacter();
    virtual LONG WriteString(const char* text, DWORD* count, OVERLAPPED* overlapped, DWORD timeout);
    virtual LONG Write(const void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD timeout);
    virtual LONG Read(void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD timeout);
    // A read on the caller's record from now on waits for a first byte, at
    // most `milliseconds` (less than INFINITE): kept outstanding, it ends when
    // input arrives. The immediate read mode still takes only what is queued.
    virtual LONG SetReadWait(DWORD milliseconds);

    // How long Open waits for the system's open of the port: INFINITE (the
    // default) opens on the calling thread. With a bound the open runs on a
    // thread of its own; when it has not returned in time, Open returns
    // ERROR_IO_PENDING and leaves it running, and a later Open of the same
    // port (with the object still closed) goes on with it. Opening a Bluetooth
    // serial port makes the radio connection inside the open, which can block
    // for seconds. Close and destruction abandon an open on its way: its
    // handle is closed as soon as the system returns it.
    void SetOpenWait(DWORD milliseconds) { openWaitMs = milliseconds; }
    bool IsOpening() const { return opener != nullptr; }

    LONG Purge();
    LONG SendBreak();
    DWORD TakeEvents();
    DWORD GetLineErrors();
    bool IsCtsOn();
    bool IsDsrOn();
    bool IsRingOn();
    bool IsCarrierOn();

    // Whether an operation's result means the port itself failed: anything but
    // success or a time-out (an operation the wrapper cancels itself never
    // reports ERROR_OPERATION_ABORTED, so that one, which some drivers give for
    // a pulled adapter, counts). On Windows a pulled USB-serial adapter or a
    // dropped Bluetooth link leaves the handle dead for good, and the COM
    // number taken until it is closed.
    static bool IsPortFailure(LONG error) { return error != 0 && error != ERROR_TIMEOUT; }

    LONG LastError() const { return lastError; }
    HANDLE Handle() const { return handle.Get(); }
    bool IsOpen() const { return static_cast<bool>(handle); }

    // The cancels that I/O on the private record uses: the calling thread's
    // I/O at a time-out, the one operation when a later call or Close tries
    // again. Tests replace them to stand in for a serial driver whose
    // cancelled operations do not finish.
    static BOOL(WINAPI* cancelIo)(HANDLE file);
    static BOOL(WINAPI* cancelIoEx)(HANDLE file, OVERLAPPED* operation);
    // The calls through which the wrapper reads and writes the port's
    // settings. Windows keeps a port's settings from the program that used it
    // last; a pty under Wine keeps only some of them and resets the time-outs
    // at each open. Tests replace these to stand in for a port that keeps
    // everything, and for a default configuration that asks for flow control.
    struct SettingsCalls {
        BOOL(WINAPI* getDefaultCommConfig)(LPCSTR port, LPCOMMCONFIG config, LPDWORD size);
        BOOL(WINAPI* setCommConfig)(HANDLE file, LPCOMMCONFIG config, DWORD size);
        BOOL(WINAPI* getCommState)(HANDLE file, LPDCB dcb);
        BOOL(WINAPI* setCommState)(HANDLE file, LPDCB dcb);
        BOOL(WINAPI* getCommTimeouts)(HANDLE file, LPCOMMTIMEOUTS timeouts);
        BOOL(WINAPI* setCommTimeouts)(HANDLE file, LPCOMMTIMEOUTS timeouts);
    };
    static SettingsCalls settingsCalls;
    static const SettingsCalls kSystemSettingsCalls;

    // What Open leaves the port with, whatever was there before: the display's
    // line (38400 baud, 8 data bits, no parity, 1 stop bit), binary, no flow
    // control of any kind, no character replaced or dropped, no abort on
    // error, DTR and RTS on; reads that return at once, writes without a
    // total time-out (Write bounds its own wait).
    static DCB LinkSettings(const DCB& current);
    static constexpr COMMTIMEOUTS kLinkTimeouts = {MAXDWORD, 0, 0, 0, 0};

    // How long a cancelled operation on the private record may take to finish
    // before the call returns without it (see IoBlock).
    static constexpr DWORD kCancelGraceMs = 500;
    // How long an immediate read of bytes already queued may take to finish
    // before it is cancelled.
    static constexpr DWORD kQueuedReadGraceMs = 50;
    // An immediate read trusts a queue count of 0 for at most this long: some
    // virtual COM drivers report 0, or report late, while bytes wait.
    static constexpr DWORD kEmptyReadPeriodMs = 1000;
    // ClearCommError as the immediate read calls it. Tests replace it to stand
    // in for a driver that always reports an empty queue.
    static BOOL(WINAPI* clearCommError)(HANDLE file, LPDWORD errors, LPCOMSTAT status);

private:
    struct Opener;
    static unsigned __stdcall OpenerThread(void* opener);
    static void Release(Opener* opener);
    // Starts the system's open of `path` on a thread of its own (opener).
    bool StartOpener(const char* path, DWORD flags, DWORD& error);
    // The system's open of `path`, waited for at most openWaitMs; empty when
    // it failed or is still on its way (error says which).
    CHandle OpenDevicePath(const char* path, DWORD flags, DWORD& error);

    enum class IoKind { Write, Read, WaitEvent };
    struct IoBlock;
    enum class Collect { Done, Failed, Outstanding };
    // A transfer on the private record as the caller asked for it.
    struct Transfer {
        IoKind kind;
        BYTE* out;        // the caller's buffer, past the bytes already handed over
        DWORD size;       // bytes still asked for
        DWORD* count;     // the caller's count
        DWORD delivered;  // bytes handed over from the carry
    };
    // What the queue count says an immediate read should do.
    enum class QueueCheck { Skip, Read, ReadQueued };

    // Read, Write and WaitForEvent, in steps: the caller's own record; else
    // the carry-over of bytes collected late, the queued-count check, the
    // staging, issuing the operation, awaiting it or cancelling and collecting.
    LONG Io(IoKind kind, void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD timeout);
    BOOL StartOperation(IoKind kind, void* buffer, DWORD size, DWORD* count, DWORD* eventBits, OVERLAPPED* record);
    LONG IoOnCallerRecord(IoKind kind, void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped);
    // Hands over bytes a late read collected; true when they fill the request.
    bool TakeCarry(Transfer& transfer);
    QueueCheck CheckQueue(Transfer& transfer);
    bool Stage(const Transfer& transfer);
    LONG Issue(const Transfer& transfer, bool immediateRead, bool onlyQueued, DWORD timeout);
    LONG CancelImmediateRead(const Transfer& transfer);
    LONG AwaitPending(const Transfer& transfer, DWORD timeout);
    // Hands the finished operation's result to the caller.
    void Deliver(const Transfer& transfer);
    // Cancels the operation pending on the private record and waits, for a
    // bounded time, until the system has finished with it.
    Collect CancelAndCollect();
    // Fetches the result of a finished operation on the private record.
    Collect CollectFinished();
    // Takes in an operation abandoned by an earlier call once it has finished;
    // false while it is still outstanding.
    bool CollectAbandoned();
    bool ReadState(DCB& dcb);
    LONG ApplyLinkSettings();
    bool ModemStatus(DWORD bit);

    LONG lastError;
    CHandle handle;  // the port; empty while closed
    DWORD events;
    DWORD eventMask;
    CHandle ioEvent;  // the private record's event, when opened for overlapped I/O
    // The read mode last applied with SetReadMode on the open port, -1 when
    // unknown. Reads in the immediate mode must not wait even where the serial
    // driver keeps an empty overlapped read pending.
    int readMode;
    // Line error bits collected by reads that asked the port for its queue
    // count (which clears them), handed out by the next GetLineErrors.
    DWORD lineErrors;
    // Clock value of the last immediate read issued without trusting the count.
    DWORD lastUncountedRead;
    // The private record with the buffer and the count the system works on.
    // Allocated apart from the object: an operation whose cancel does not
    // finish in time is left with it, and the block is given up rather than
    // freed while the system may still write to it.
    IoBlock* io;
    IPlatform* platform;
    DWORD openWaitMs;
    Opener* opener;  // an open still on its way, or none
};

#endif
