// The driver object: the host's slots, the worker thread that owns the
// display, and the key window that carries keys back to the host's thread.
// The display itself is reached through links (device/link.h), one per
// transport; the driver owns them and implements the events they report. The
// keyboard and the port handover are components of their own.
//
//   driver/host_interface.cpp   host-facing slots, construction, start and stop
//   driver/worker.cpp           worker thread, command channel, host writes
//   driver/key_delivery.cpp     key window and key events to the host
//   driver/typing.cpp           the display's typing: Ctrl to the host, then the keyboard
//   driver/connection.cpp       which link runs, the cell image, the poll, the port's lend
#ifndef BRL_DRIVER_H
#define BRL_DRIVER_H

#include <windows.h>
#include <stdint.h>

#include "brailledriver.h"
#include "device/link.h"
#include "device/protocol.h"
#include "device/serial_link.h"
#include "device/usb_link.h"
#include "handover/handover.h"
#include "keyboard/keyboard.h"
#include "platform/handle.h"
#include "platform/platform.h"

enum : UINT {
    WM_BRAILLE_KEY = WM_USER + 1,             // 1025, to the key window
    WM_DRIVER_COMMAND = WM_USER + 2,          // 1026 + command, to the worker thread
    WM_KEY_WINDOW_DESTROY = WM_USER + 0x3F0,  // sent to the key window: destroy yourself on your thread
};

// What the host's calls ask of the worker: thread message WM_DRIVER_COMMAND +
// the number. Cell writes do not travel as commands but on a list of their own
// (CCellWrite); their numbers 5 to 7 are not used.
enum class Command : int {
    Stop = 0,
    Sync = 1,  // take the host's queued writes
    Open = 2,
    Close = 3,
    Suspend = 4,
    Tick = 8,
};
enum class CellWrite : int { Text, All, Clear };

// Sizes of the fixed fields.
constexpr int kInitStringSize = 256;
constexpr int kClassNameSize = 80;
constexpr int kFrameCells = protocol::kFrameCells;
constexpr int kCellImageSize = protocol::kCellImageSize;
constexpr int kCompletionSlots = 16;  // waiting calls that can be in progress at once
// A host thread finding this many of its writes not yet taken by the worker
// waits for the worker (at most kWriteBackoffMs per write) before adding more.
constexpr LONG kMaxQueuedWrites = 1024;
constexpr DWORD kWriteBackoffMs = 20;

// A host write waiting for the worker: pushed onto a lock-free list by the
// host's thread, taken all at once by the worker, newest first.
struct CCellWriteEntry {
    CCellWriteEntry* next;
    CellWrite kind;
    uint32_t count;
    uint8_t cells[1];  // count bytes follow
};

// The completion of one waiting call: the worker stores the call's generation
// and sets the event. Events live as long as the driver object.
struct CCompletionSlot {
    CHandle event;
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

// The state of the connection to the display. Its transitions live in
// driver/connection.cpp (see docs/architecture.md).
enum class LinkState : int32_t {
    Closed,     // no display and none looked for (before the first open, after close)
    Opening,    // a link's hello or identification runs
    Running,    // the active link has the display
    Suspended,  // the host suspended the connection
    Searching,  // the display went away or was not there: looked for once a second
    Lent,       // the serial link's port is lent to another program
};

// The module instance that the key window class and window are registered under.
HINSTANCE ModuleInstance();
void SetModuleInstance(HINSTANCE instance);

class CBrailleSampleDriver : public IBrailleDriver, public ILinkEvents {
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
    int32_t BRL_CALL GetDriverCode() override { return BRL_DRIVER_CODE; }
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

    // Host-to-display dot order.
    static uint8_t TranslateDots(uint8_t b);
    // The function key's name for a code 1..64; null for none.
    static const char* FunctionKeyName(int code);
    // Whether a worker of this object is running (tests wait on it).
    bool WorkerStillRunning();

    // ---- what the links report ----
    void OnFunctionKey(uint8_t code) override { DeliverFunctionKey(code); }
    void OnRoutingKey(uint8_t code) override { DeliverRoutingKey(code); }
    void OnCellKey(uint8_t cell) override { DeliverHidRoutingKey(cell); }
    void OnCharacter(uint16_t code) override { keyboard.TypeCharacter(code); }
    void OnScanCode(uint16_t code) override { InjectScanCode(code); }
    void OnLost() override { LinkLost(); }
    const uint8_t* CellImage() override { return cellImage; }

    // ---- the worker's own steps (connection.cpp, worker.cpp) ----
    // The worker runs them; a test that drives the object without a worker
    // runs them on its own thread, with its own clock.
    int OpenDevice(const char* name);  // null: the port named before
    void CloseDevice();
    void SendTextCells(const uint8_t* cells, uint32_t count);
    void PollTick();
    // The host's suspend (nonzero) or resume command.
    void CarryOutSuspend(int32_t flag);

private:
    // ---- start and stop (host_interface.cpp) ----
    int32_t StartDriver(const char* portName, IBrailleHost* host, const char* text1, const char* text2);
    bool WaitForWorkerReady(HANDLE mine);
    bool OpenForHost(HANDLE mine, IBrailleHost* newHost, const char* text1, const char* text2);
    bool OnWorkerThread() const;
    bool WaitForWorkersGone(DWORD boundMs);
    void WithdrawHost(LONG generation);
    void EnterCallbackLocks();
    IBrailleHost* EnterCallback(CRITICAL_SECTION* lock);

    // ---- worker thread and command channel (worker.cpp) ----
    int StartWorkerThread();
    // Without waiting: 1 when posted. Waiting: 1 when the command was carried out.
    int32_t PostCommand(Command command, const void* data, uint32_t length, int wait, bool* posted = nullptr);
    bool DispatchCommand(Command command, void* data, uint32_t parameter);
    static unsigned __stdcall WorkerLoop(void* driver);
    void RunMessages();
    void WaitForWork(DWORD untilTickMs);
    HANDLE ActiveInput() const;
    void TakeInput();
    void FinishWorker();
    void StopWorker();
    HANDLE TakeWorker();
    void ReapWorker(HANDLE thread);
    void RequestStop();
    int32_t WaitForCompletion(int slot, LONG generation, DWORD boundMs);
    void FinishCommand(uint32_t ticket, bool ran = true);
    bool LaterSuspendQueued();
    int32_t QueueWrite(CellWrite kind, const uint8_t* cells, uint32_t count);
    void RunQueuedWrites();
    void FreeQueuedWrites();
    void RunDeferredCalls();
    void RunTick();

    // ---- the display's typing (typing.cpp) ----
    void InjectScanCode(uint16_t code);

    // ---- key delivery (key_delivery.cpp) ----
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

    // ---- the connection (connection.cpp) ----
    void LinkLost();
    int Activate(ILink& link, bool away);
    void PlaceCells(uint32_t first, const uint8_t* cells, uint32_t count);
    void SendAllCells(const uint8_t* cells, uint32_t count);
    void SendBlankCells();
    void SendImage(const uint8_t* cells);
    void SetLink(LinkState next);
    void StartSearch();
    void SuspendLink();
    void SearchForDisplay();

    // ---- the port handover (connection.cpp) ----
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
    CHandle workerReady;              // manual-reset: the new worker's queue exists (owned by the starting Initialize)
    volatile DWORD workerThreadId{};  // 0 once the worker has left
    volatile LONG workerStart{};      // start hand-shake between Initialize and a new worker
    CHandle stopEvent;                // manual-reset: stop, whatever the queue holds (driver lifetime)
    CHandle workerEnded;              // manual-reset: the worker has left its loop (driver lifetime)
    volatile LONG stopRequested{};
    HANDLE staleWorker{};  // a worker that Terminate gave up waiting for
    CCompletionSlot completions[kCompletionSlots]{};
    CCellWriteEntry* volatile queuedWrites{};  // host writes not yet taken by the worker, newest first
    volatile LONG queuedWriteCount{};          // writes on that list (counted before they are pushed)
    CHandle writesTaken;                       // set when the worker takes a full list (driver lifetime)
    volatile LONG deferredSuspend{};           // Suspend called inside OnData: carried out after the command
    volatile int32_t deferredSuspendFlag{};
    volatile LONG deferredTerminate{};    // Terminate called inside OnData
    CRITICAL_SECTION keyCallbackLock{};   // held while OnKey runs
    CRITICAL_SECTION dataCallbackLock{};  // held while OnData runs

    // Key delivery
    HWND volatile keyWindow{};         // taken once (interlocked) by whoever closes it
    DWORD keyWindowThread{};           // the thread that owns keyWindow
    volatile LONG keyEpoch{};          // changes with each suspension: keys of an older epoch are dropped
    char className[kClassNameSize]{};  // the maker's name
    int32_t alternateRouting{};        // routing and status keys use the alternate names

    // The connection
    volatile int32_t textCells{};
    volatile int32_t statusCells{};
    LinkState link{};                     // see LinkState
    uint8_t cellImage[kCellImageSize]{};  // status cells first, display bit order
    uint32_t searchTick{};                // clock value of the search's last new try
    CUsbLink usbLink;                     // looked for first
    CSerialLink serialLink;
    ILink* activeLink{};  // the link that has the display (Running), or none

    // Components
    CKeyboard keyboard;
    CHandover handover;
};

// The module's one driver object.
CBrailleSampleDriver& TheDriver();

#endif
