// The driver object: one class holds all of the driver's state. Its fields are
// declared here in one place, grouped by the area that owns them; the
// operations of each area live in their own source file:
//   driver/host_interface.cpp   host-facing slots, construction, start and stop
//   driver/worker.cpp           worker thread and command channel
//   driver/key_delivery.cpp     key window and key events to the host
//   device/connection.cpp       device open/close, cell image, poll cycle
//   device/serial_protocol.cpp  serial frames, identification, receiver
//   device/hid_transport.cpp    USB HID transport
//   driver/port_lend.cpp        what the link does when the serial port is lent
//   driver/typing.cpp           the display's typing: Ctrl to the host, then the keyboard
// It owns the keyboard (keyboard/) and the port handover (handover/) components.
#ifndef BRL_DRIVER_H
#define BRL_DRIVER_H

#include <windows.h>
extern "C" {
#include <hidsdi.h>
// hidpi.h needs the usage types that hidsdi.h brings in.
#include <hidpi.h>
}
#include <setupapi.h>
#include <stdint.h>

#include "brailledriver.h"
#include "device/usb_link.h"
#include "handover/handover.h"
#include "keyboard/keyboard.h"
#include "platform/platform.h"

class CSerial;

// Worker commands: thread message WM_DRIVER_COMMAND + command number.
enum : UINT {
    WM_BRAILLE_KEY = WM_USER + 1,             // 1025, to the key window
    WM_DRIVER_COMMAND = WM_USER + 2,          // 1026 + n, to the worker thread
    WM_KEY_WINDOW_DESTROY = WM_USER + 0x3F0,  // sent to the key window: destroy yourself on your thread
};
enum DriverCommand : int {
    CMD_STOP = 0,
    CMD_SYNC = 1,
    CMD_OPEN = 2,
    CMD_CLOSE = 3,
    CMD_SUSPEND = 4,
    CMD_TEXT_CELLS = 5,
    CMD_ALL_CELLS = 6,
    CMD_CLEAR = 7,
    CMD_TICK = 8,
};

// Sizes of the fixed fields.
constexpr int kInitStringSize = 256;
constexpr int kPortNameSize = 128;
constexpr int kClassNameSize = 80;
constexpr int kCellImageSize = 200;
constexpr int kFrameCells = 42;  // cells carried by every display frame
constexpr int kHidPayloadSize = 8;
constexpr int kCompletionSlots = 16;  // waiting calls that can be in progress at once
// A host thread finding this many of its writes not yet taken by the worker
// waits for the worker (at most kWriteBackoffMs per write) before adding more.
constexpr LONG kMaxQueuedWrites = 1024;
constexpr DWORD kWriteBackoffMs = 20;

// A host write waiting for the worker: pushed onto a lock-free list by the
// host's thread, taken all at once by the worker, newest first.
struct CCellWrite {
    CCellWrite* next;
    int command;  // CMD_TEXT_CELLS, CMD_ALL_CELLS or CMD_CLEAR
    uint32_t count;
    uint8_t cells[1];  // count bytes follow
};

// The completion of one waiting call: the worker stores the call's generation
// and sets the event. Events live as long as the driver object.
struct CCompletionSlot {
    HANDLE event;
    volatile LONG busy;
    volatile LONG generation;
    volatile LONG doneGeneration;
    volatile LONG ran;  // the done generation's command was carried out (not dropped at the worker's end)
};

// Waits for one of the handles (none: only the time) for at most boundMs,
// meanwhile handling the messages other threads send the calling thread;
// posted messages and WM_QUIT stay in its queue. Every wait inside a host call
// goes through here, so a host that marshals a callback to its own thread with
// SendMessage is served, not deadlocked. Returns as WaitForMultipleObjects.
DWORD WaitServingSent(DWORD count, const HANDLE* handles, DWORD boundMs);
// The 1 ms clock of the driver's own waits (QueryPerformanceCounter).
uint64_t DriverClockMs();

// The state of the link to the display, as the poll sees it. Its transitions
// live in device/connection.cpp (see docs/architecture.md); `opening`,
// `failureCount` and `suspended` follow from it.
enum class LinkState : int32_t {
    Closed,     // no display and none looked for (before the first open, after close)
    Opening,    // a transport handshake runs
    Running,    // a display is open; `usingHid` says which transport
    Suspended,  // the host suspended the link
    Searching,  // the display went away or was not there: looked for once a second
    Lent,       // the serial link's port is lent to another program
};

// The module instance that the key window class and window are registered under.
HINSTANCE ModuleInstance();
void SetModuleInstance(HINSTANCE instance);

class CBrailleSampleDriver : public IBrailleDriver {
public:
    CBrailleSampleDriver();
    // Tests bind the seam to their doubles; the module's object uses RealPlatform().
    explicit CBrailleSampleDriver(IPlatform& platform);
    ~CBrailleSampleDriver();
    CBrailleSampleDriver(const CBrailleSampleDriver&) = delete;
    CBrailleSampleDriver& operator=(const CBrailleSampleDriver&) = delete;

    // ---- slots 0..34 (IBrailleDriver) and 35..36 (own) ----
    int32_t BRL_CALL Initialize(const char* portName, IBrailleHost* host, const char* text1,
                                const char* text2) override;
    void BRL_CALL Terminate() override;
    IBrailleHost* BRL_CALL SetHost(IBrailleHost* host) override;
    int32_t BRL_CALL GetInitString1(char* buffer, int32_t size) override;
    int32_t BRL_CALL GetInitString2(char* buffer, int32_t size) override;
    int32_t BRL_CALL Unsupported05(intptr_t, int32_t) override { return 0; }
    int32_t BRL_CALL GetDriverCode() override { return 768; }
    int32_t BRL_CALL Unsupported07() override { return 0; }
    int32_t BRL_CALL Unsupported08() override { return 0; }
    int32_t BRL_CALL Unsupported09() override { return 0; }
    int32_t BRL_CALL Unsupported10(intptr_t) override { return 0; }
    int32_t BRL_CALL WriteTextCells(const unsigned char* cells, int32_t count) override;
    int32_t BRL_CALL WriteAllCells(const unsigned char* cells, int32_t count) override;
    int32_t BRL_CALL ClearCells() override;
    int32_t BRL_CALL Unsupported14(intptr_t, int32_t) override { return 0; }
    int32_t BRL_CALL Unsupported15() override { return 0; }
    int32_t BRL_CALL Suspend(int32_t flag) override;
    void BRL_CALL NoOp17() override {}
    int32_t BRL_CALL GetTextCellCount() override { return textCells; }
    int32_t BRL_CALL Unsupported19() override { return 0; }
    int32_t BRL_CALL GetStatusCellCount() override { return statusCells; }
    int32_t BRL_CALL GetTotalCellCount() override { return textCells + statusCells; }
    int32_t BRL_CALL Unsupported22() override { return 0; }
    int32_t BRL_CALL Unsupported23(int32_t, int32_t, int32_t) override { return 0; }
    int32_t BRL_CALL Unsupported24() override { return 0; }
    int32_t BRL_CALL Unsupported25(int32_t, unsigned char) override { return 0; }
    int32_t BRL_CALL Unsupported26(intptr_t, int32_t, int32_t) override { return 0; }
    int32_t BRL_CALL Unsupported27(intptr_t) override { return 0; }
    int32_t BRL_CALL Unsupported28(int32_t) override { return 0; }
    int32_t BRL_CALL Unsupported29() override { return 0; }
    void BRL_CALL NoOp30(int32_t) override {}
    int32_t BRL_CALL Unsupported31() override { return 0; }
    void BRL_CALL NoOp32(int32_t) override {}
    int32_t BRL_CALL Unsupported33() override { return 0; }
    int32_t BRL_CALL Identify(char* name, int32_t size, void* id) override;
    virtual void BRL_CALL NoOp35(int32_t) {}
    virtual void BRL_CALL NoOp36(int32_t) {}

    // ---- host interface helpers ----
    int32_t StartDriver(const char* portName, IBrailleHost* host, const char* text1, const char* text2);
    bool OnWorkerThread() const;
    bool WorkerStillRunning();
    bool WaitForWorkersGone(DWORD boundMs);
    void WithdrawHost(LONG generation);
    void EnterCallbackLocks();
    IBrailleHost* EnterCallback(CRITICAL_SECTION* lock);

    // ---- worker thread and command channel ----
    int StartWorkerThread();
    // Without waiting: 1 when posted. Waiting: 1 when the command was carried out.
    int32_t PostCommand(int command, const void* data, uint32_t length, int wait, bool* posted = nullptr);
    bool DispatchCommand(int command, void* data, uint32_t parameter);
    static unsigned __stdcall WorkerLoop(void* driver);
    void StopWorker();
    HANDLE TakeWorker();
    void ReapWorker(HANDLE thread);
    void RequestStop();
    int32_t WaitForCompletion(int slot, LONG generation, DWORD boundMs);
    void Complete(uint32_t ticket, bool ran = true);
    int32_t QueueWrite(int command, const uint8_t* cells, uint32_t count);
    void RunQueuedWrites();
    void FreeQueuedWrites();
    void RunDeferredCalls();
    void RunTick();

    // ---- key delivery ----
    ATOM RegisterKeyWindowClass(HINSTANCE instance);
    HWND CreateKeyWindow(HINSTANCE instance);
    static LRESULT CALLBACK KeyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void DeliverFunctionKey(uint8_t code);
    void DeliverRoutingKey(uint8_t code);
    void DeliverHidRoutingKey(uint8_t code);
    void PostKeyEvent(const char* name, int32_t value);
    void DestroyKeyWindow();
    void CloseKeyWindow(HWND window);
    void CallOnData(const unsigned char* bytes, int32_t count);
    static const char* FunctionKeyName(int code);  // code 1..64; null for none

    // ---- device connection and poll cycle ----
    int OpenDevice(const char* name);
    void CloseDevice();
    static uint8_t TranslateDots(uint8_t b);
    void SendTextCells(const uint8_t* cells, uint32_t count);
    void SendAllCells(const uint8_t* cells, uint32_t count);
    void SendBlankCells();
    void ResendCellImage();
    void PollTick();
    void SuspendFromWorker();
    bool LaterSuspendQueued();
    void ProbeReturningDisplay();
    void CloseHidHandles();
    void SetLink(LinkState next);
    void StartSearch();
    void SuspendLink();
    void SearchForDisplay();
    int OpenHidLink();
    void ShowImageAgain();
    void PollHid();
    void PollSerial();
    void HidLinkFailed();
    void CloseSerialPort();
    void PlaceCells(uint32_t first, const uint8_t* cells, uint32_t count);

    // ---- serial frame protocol ----
    int OpenSerialPort(DWORD waitMs);
    void SendSearchRequest();
    int IdentifySerialDevice();
    void SendFrame(uint8_t command, uint8_t length, const uint8_t* data);
    void FeedByte(uint8_t b);
    void BusyWait(uint16_t milliseconds);
    void CompleteFrame();

    // ---- USB HID transport ----
    int FindHidDevice();
    int HidHandshake();
    int WriteHidReport(const uint8_t* payload, uint32_t started);
    void SendHidFrame(const uint8_t* frame);
    int ReadHidReport(uint8_t* payload);
    void WriteCellsHid(const uint8_t* cells);
    void HandleHidReport(const uint8_t* payload);
    void SettleHidIo();
    bool CancelHidIo(HANDLE h, CHidIo& io);
    void SettleHidIo(HANDLE h, CHidIo*& io);
    void ReapHidIo();
    void ReleaseHidIo();

    // ---- keyboard emulation ----
    void TypeCharacter(uint16_t code) { keyboard.TypeCharacter(code); }
    // Tells the host of Ctrl before the keyboard injects it.
    void InjectScanCode(uint16_t code);

    // ---- port handover (driver/port_lend.cpp) ----
    void ServiceHandover();
    void TakeBackPortGivenWhileStopped() { handover.TakeBackGivenWhileStopped(); }
    void LendPort();
    void TakeBackPort();

    // ===================== state =====================
    IPlatform* platform{};  // the seam; RealPlatform() in the module's object

    // Host interface
    int32_t initialized{};                // set when Initialize succeeds; never cleared
    volatile int32_t suspended{};         // last value given to Suspend; nonzero = suspended
    char initString1[kInitStringSize]{};  // Initialize's third argument
    char initString2[kInitStringSize]{};  // Initialize's fourth argument
    IBrailleHost* volatile host{};        // the host's callback object

    // Start and stop, ordered against each other. The lock is held only for
    // moments and never across a wait: a call made again on the same thread
    // (from a message sent to it during a wait) cannot deadlock on it.
    CRITICAL_SECTION lifecycleLock{};
    DWORD startingThread{};         // the thread whose Initialize is starting a worker, or 0
    volatile LONG runGeneration{};  // counts successful starts: a Terminate withdraws only its own run's host
    volatile LONG liveWorkers{};    // worker threads that have not left yet

    // Worker thread and command channel
    HANDLE volatile workerThread{};   // handed off once (interlocked) to the call that stops it
    HANDLE commandDone{};             // manual-reset: the worker's queue is ready (owned by the starting Initialize)
    volatile DWORD workerThreadId{};  // 0 once the worker has left
    uint32_t tickCounter{};           // poll ticks run (also cleared by the HID hello)
    volatile LONG workerStart{};      // start hand-shake between Initialize and a new worker
    HANDLE stopEvent{};               // manual-reset: stop, whatever the queue holds (driver lifetime)
    HANDLE workerEnded{};             // manual-reset: the worker has left its loop (driver lifetime)
    volatile LONG stopRequested{};
    HANDLE staleWorker{};  // a worker that Terminate gave up waiting for
    CCompletionSlot completions[kCompletionSlots]{};
    CCellWrite* volatile queuedWrites{};  // host writes not yet taken by the worker, newest first
    volatile LONG queuedWriteCount{};     // writes on that list (counted before they are pushed)
    HANDLE writesTaken{};                 // set when the worker takes a full list (driver lifetime)
    volatile LONG deferredSuspend{};      // Suspend called inside OnData: 1 + carried out after the command
    volatile int32_t deferredSuspendFlag{};
    volatile LONG deferredTerminate{};    // Terminate called inside OnData
    CRITICAL_SECTION keyCallbackLock{};   // held while OnKey runs
    CRITICAL_SECTION dataCallbackLock{};  // held while OnData runs

    // Key delivery
    HWND volatile keyWindow{};         // taken once (interlocked) by whoever closes it
    DWORD keyWindowThread{};           // the thread that owns keyWindow
    volatile LONG keyEpoch{};          // changes with each suspension: keys of an older epoch are dropped
    char className[kClassNameSize]{};  // "KVR"
    int32_t alternateRouting{};        // routing and status keys use the alternate names

    // Device connection and poll cycle
    volatile int32_t textCells{};
    volatile int32_t statusCells{};
    LinkState link{};                     // see LinkState
    int32_t opening{};                    // a transport handshake is running (link Opening)
    uint32_t lastSendTick{};              // clock value of the last display send
    int32_t usingHid{};                   // transport of the current or last connection
    uint8_t cellImage[kCellImageSize]{};  // status cells first, display bit order
    int32_t awaitingAck{};                // a display frame waits for its acknowledgement
    CSerial* serial{};                    // the open serial port, or none
    char portName[kPortNameSize]{};
    uint8_t failureCount{};   // consecutive serial acknowledgement time-outs; 4 while searching
    uint32_t probeTick{};     // clock value of the last search for a returning display
    int32_t probePortOpen{};  // the serial port is open only to probe for the display
    int32_t probeReading{};   // the probe feeds what the display sent: acknowledge it
    int32_t serialFailed{};   // a write on the serial port failed: the port is dead (see CSerial::IsPortFailure)

    // Serial frame protocol
    int32_t comPortNumber{};
    uint8_t rxState{};
    uint8_t rxRemaining{};
    uint16_t rxSum{};
    uint16_t rxChecksum{};
    uint8_t rxIndex{};
    int32_t identified{};
    uint8_t pendingCommand{};
    uint8_t pendingLength{};
    uint8_t pendingData[126]{};
    uint8_t lastFrame[128]{};  // total length, command, frame bytes
    int32_t pendingValid{};
    uint8_t deviceVersion[2]{};
    uint8_t rxCommand{};
    uint8_t rxLength{};
    uint8_t rxData[256]{};

    // USB HID transport
    HANDLE hidHandle{};  // overlapped handle for output reports
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* hidDetail{};
    HIDP_CAPS hidCaps{};
    HANDLE hidReadHandle{};  // overlapped handle for input reports
    CFrameRing hidRing;      // frames waiting for the acknowledgement
    uint32_t hidInfo[2]{};
    CHidIo* hidReadIo{};     // the input report read; may stay in flight between polls
    CHidIo* hidWriteIo{};    // the output report write
    CHidIo* hidAbandoned{};  // operations still running after their link closed
    int32_t hidAbandonedCount{};

    CKeyboard keyboard{*platform};  // `platform` is set first: it is declared first
    CHandover handover;
};

// Builds one serial frame into out (length + 7 bytes); returns its size.
size_t EncodeSerialFrame(uint8_t command, uint8_t length, const uint8_t* data, uint8_t* out);

// The module's one driver object.
CBrailleSampleDriver& TheDriver();

#endif
