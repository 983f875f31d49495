// Host-facing slots of the driver object: construction, start and stop,
// writes, suspension and identification.
#include <cstring>
#include <initializer_list>
#include <process.h>

#include "driver.h"

namespace {
HINSTANCE g_instance = nullptr;

const uint8_t kDriverGuid[16] = BRL_DRIVER_GUID_BYTES;

// Copies a host text into a fixed field: at most size - 1 characters, the rest
// zero, so the field always holds a terminated text.
void CopyText(char* field, size_t size, const char* text) {
    std::memset(field, 0, size);
    if (text) {
        size_t n = strnlen(text, size - 1);
        std::memcpy(field, text, n);
    }
}

int32_t CopyTextOut(const char* field, size_t fieldSize, char* buffer, int32_t size) {
    if (!buffer || size <= 0) return 0;
    size_t n = strnlen(field, fieldSize);
    if (n > static_cast<size_t>(size) - 1) n = static_cast<size_t>(size) - 1;
    std::memcpy(buffer, field, n);
    std::memset(buffer + n, 0, static_cast<size_t>(size) - n);
    return static_cast<int32_t>(n);
}
}  // namespace

HINSTANCE ModuleInstance() { return g_instance ? g_instance : GetModuleHandleA(nullptr); }
void SetModuleInstance(HINSTANCE instance) { g_instance = instance; }

// Every field has a default member initializer; cppcheck 2.10 misses that for
// arrays (value-initialised with {}), hence the two suppressions.
// cppcheck-suppress uninitMemberVar
CBrailleSampleDriver::CBrailleSampleDriver() : CBrailleSampleDriver(RealPlatform()) {}

// Every other field starts zeroed by its default initializer: no host, no
// worker, no window, no cells, not suspended, ring empty, handover detached.
// cppcheck-suppress uninitMemberVar
CBrailleSampleDriver::CBrailleSampleDriver(IPlatform& seam)
    : platform(&seam), usbLink(seam, *this), serialLink(seam, *this), keyboard(seam) {
    std::memcpy(className, BRL_MAKER, sizeof BRL_MAKER);
    InitializeCriticalSection(&keyCallbackLock);
    InitializeCriticalSection(&dataCallbackLock);
    InitializeCriticalSection(&lifecycleLock);
}

// A worker still running here holds the module, so this runs only once no
// worker is left, or at process exit, when the other threads are gone.
CBrailleSampleDriver::~CBrailleSampleDriver() {
    FreeQueuedWrites();
    // The events close with their owners; the stale worker's handle is handed
    // across threads by exchange and closed here by hand.
    if (staleWorker) CloseHandle(staleWorker);
    // The handle of a worker that ended inside OnData (Terminate there) and
    // was never reaped by a later call.
    if (workerThread) CloseHandle(workerThread);
    DeleteCriticalSection(&keyCallbackLock);
    DeleteCriticalSection(&dataCallbackLock);
    DeleteCriticalSection(&lifecycleLock);
}

// By thread identifier alone: the worker is still itself inside OnData after
// another thread's Terminate has taken its handle. It clears the identifier as
// it leaves.
bool CBrailleSampleDriver::OnWorkerThread() const {
    const DWORD id = workerThreadId;
    return id != 0 && id == GetCurrentThreadId();
}

// Takes both callback locks, serving sent messages while a callback holds one
// (an OnData that sends to this thread and waits is answered, not deadlocked).
void CBrailleSampleDriver::EnterCallbackLocks() {
    bool key = false;
    bool data = false;
    for (;;) {
        key = key || TryEnterCriticalSection(&keyCallbackLock);
        data = data || TryEnterCriticalSection(&dataCallbackLock);
        if (key && data) return;
        WaitServingSent(0, nullptr, 2);
    }
}

// The host's callback object, held against SetHost until the caller leaves
// the lock: a host withdrawn by SetHost or Terminate gets no more callbacks.
IBrailleHost* CBrailleSampleDriver::EnterCallback(CRITICAL_SECTION* lock) {
    EnterCriticalSection(lock);
    return host;
}

// Clears the host once no callback to it is running; a callback that outlasts
// the bound (a host stalled inside OnData) cannot hold Terminate for ever. A
// host set by a newer start (made meanwhile, from a message sent to this
// thread) stays.
void CBrailleSampleDriver::WithdrawHost(LONG generation) {
    const uint64_t started = DriverClockMs();
    bool key = false;
    bool data = false;
    while (!(key && data) && DriverClockMs() - started < 2000) {
        key = key || TryEnterCriticalSection(&keyCallbackLock);
        data = data || TryEnterCriticalSection(&dataCallbackLock);
        if (!(key && data)) WaitServingSent(0, nullptr, 5);
    }
    EnterCriticalSection(&lifecycleLock);
    if (runGeneration == generation) host = nullptr;
    LeaveCriticalSection(&lifecycleLock);
    if (data) LeaveCriticalSection(&dataCallbackLock);
    if (key) LeaveCriticalSection(&keyCallbackLock);
}

// Workers share the stop and end events: a new one starts only once every
// earlier one (one that Terminate gave up on, or one still ending) has gone.
bool CBrailleSampleDriver::WaitForWorkersGone(DWORD boundMs) {
    const uint64_t started = DriverClockMs();
    while (liveWorkers > 0) {
        if (DriverClockMs() - started >= boundMs) return false;
        WaitServingSent(0, nullptr, 5);
    }
    HANDLE stale = InterlockedExchangePointer(&staleWorker, nullptr);
    if (stale) CloseHandle(stale);
    return true;
}

int32_t CBrailleSampleDriver::Initialize(const char* port, IBrailleHost* newHost, const char* text1,
                                         const char* text2) {
    if (OnWorkerThread()) return 0;
    // One start at a time. Another thread's start is waited for (it ends
    // within its own bounds); a call made inside this thread's own start, from
    // a message sent to it during a wait, is refused.
    const DWORD me = GetCurrentThreadId();
    const uint64_t since = DriverClockMs();
    for (;;) {
        EnterCriticalSection(&lifecycleLock);
        const DWORD owner = startingThread;
        if (!owner) startingThread = me;
        LeaveCriticalSection(&lifecycleLock);
        if (!owner) break;
        if (owner == me || DriverClockMs() - since > 45000) return 0;
        WaitServingSent(0, nullptr, 5);
    }
    const int32_t result = StartDriver(port, newHost, text1, text2);
    EnterCriticalSection(&lifecycleLock);
    startingThread = 0;
    LeaveCriticalSection(&lifecycleLock);
    return result;
}

int32_t CBrailleSampleDriver::StartDriver(const char* port, IBrailleHost* newHost, const char* text1,
                                          const char* text2) {
    // A second Initialize while running restarts the driver instead of leaking
    // the running worker, its event and its window.
    Terminate();
    if (!WaitForWorkersGone(5000)) return 0;

    EnterCriticalSection(&lifecycleLock);
    // A run that ended suspended must not carry that into this start: while
    // suspended nothing goes to the display, so it would never be asked to
    // identify itself. Counts left by an earlier run must not make a failed
    // open look like success.
    suspended = 0;
    link = LinkState::Closed;
    textCells = 0;
    statusCells = 0;
    workerReady.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    HANDLE mine = workerReady && StartWorkerThread() ? workerThread : nullptr;
    LeaveCriticalSection(&lifecycleLock);
    if (!WaitForWorkerReady(mine)) return 0;

    const char* name = port ? port : "";
    PostCommand(Command::Open, name, static_cast<uint32_t>(strnlen(name, 0x7fffffff)), 1);
    if (OpenForHost(mine, newHost, text1, text2)) return 1;
    StopWorker();
    return 0;
}

// Waits until the new worker's queue exists. A worker that never reports it is
// abandoned and ends by itself when it starts, without touching workerReady.
bool CBrailleSampleDriver::WaitForWorkerReady(HANDLE mine) {
    bool ready = mine != nullptr;
    HANDLE readyEvent = workerReady.Get();
    if (ready && WaitServingSent(1, &readyEvent, 5000) != WAIT_OBJECT_0 &&
        InterlockedCompareExchange(&workerStart, 2, 0) == 0) {
        EnterCriticalSection(&lifecycleLock);
        HANDLE thread = InterlockedExchangePointer(&workerThread, nullptr);
        LeaveCriticalSection(&lifecycleLock);
        if (thread) CloseHandle(thread);
        ready = false;
    }
    // The worker sets it once, when ready; it is no longer needed.
    workerReady.Reset();
    return ready;
}

// After the open: only this start's worker, still running and not told to
// stop, with a display that reported text cells, makes a success (another
// thread's Terminate may have stopped it meanwhile). The host and the key
// window are handed over under the lock.
bool CBrailleSampleDriver::OpenForHost(HANDLE mine, IBrailleHost* newHost, const char* text1, const char* text2) {
    EnterCriticalSection(&lifecycleLock);
    const bool running = workerThread == mine && !stopRequested && !deferredTerminate && WorkerStillRunning();
    if (running && textCells > 0) {
        host = newHost;
        CopyText(initString1, sizeof initString1, text1);
        CopyText(initString2, sizeof initString2, text2);
        RegisterKeyWindowClass(ModuleInstance());
        keyWindow = CreateKeyWindow(ModuleInstance());
        keyWindowThread = GetCurrentThreadId();
        initialized = 1;
        suspended = 0;
        InterlockedIncrement(&runGeneration);
        LeaveCriticalSection(&lifecycleLock);
        return true;
    }
    LeaveCriticalSection(&lifecycleLock);
    // A display that answered without text cells leaves its port open; close it
    // so that the next start finds the port free.
    if (running) PostCommand(Command::Close, nullptr, 0, 1);
    return false;
}

void CBrailleSampleDriver::Terminate() {
    if (OnWorkerThread()) {
        // Inside OnData: carried out as soon as the current command has run.
        if (initialized) InterlockedExchange(&deferredTerminate, 1);
        return;
    }
    if (!initialized) return;
    // The worker and the window are taken together, against a start that is
    // about to hand them to the host; the waits come after the lock.
    EnterCriticalSection(&lifecycleLock);
    const LONG generation = runGeneration;
    // The worker closes the device as it stops; the close command is only for
    // a worker that reads its queue.
    PostCommand(Command::Close, nullptr, 0, 0);
    HANDLE thread = TakeWorker();
    auto* window =
        static_cast<HWND>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&keyWindow), nullptr));
    LeaveCriticalSection(&lifecycleLock);
    ReapWorker(thread);
    CloseKeyWindow(window);
    WithdrawHost(generation);
}

// From any thread but the worker, SetHost returns only once no callback to the
// old host is running; on the worker (inside OnData) it cannot wait for itself.
IBrailleHost* CBrailleSampleDriver::SetHost(IBrailleHost* newHost) {
    if (OnWorkerThread())
        return static_cast<IBrailleHost*>(
            InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&host), newHost));
    EnterCallbackLocks();
    IBrailleHost* old = host;
    host = newHost;
    LeaveCriticalSection(&dataCallbackLock);
    LeaveCriticalSection(&keyCallbackLock);
    return old;
}

int32_t CBrailleSampleDriver::GetInitString1(char* buffer, int32_t size) {
    return CopyTextOut(initString1, sizeof initString1, buffer, size);
}

int32_t CBrailleSampleDriver::GetInitString2(char* buffer, int32_t size) {
    return CopyTextOut(initString2, sizeof initString2, buffer, size);
}

int32_t CBrailleSampleDriver::Suspend(int32_t flag) {
    if (OnWorkerThread()) {
        // Inside OnData: the worker cannot wait for itself, nor close the port
        // under the code reading it. Carried out once the current command has run.
        if (deferredTerminate) return 0;
        deferredSuspendFlag = flag;
        InterlockedExchange(&deferredSuspend, 1);
        return 1;
    }
    // A resume while the display is searched for leaves the search running.
    const int32_t before = suspended;
    if (flag == before) return 1;
    if (!workerThread) return 0;
    // The suspension counts from here (the poll stops at once), but a command
    // that cannot be posted leaves the flag as it was. The key window stays on
    // its thread; keys of before the change are dropped.
    suspended = flag;
    InterlockedIncrement(&keyEpoch);
    bool posted = false;
    const int32_t ran = PostCommand(Command::Suspend, nullptr, static_cast<uint32_t>(flag), 1, &posted);
    if (!posted) InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&suspended), before, flag);
    return ran;
}

// Cells beyond the cell image are never shown, so at most that many are copied:
// a huge count neither reads past them in the host's buffer nor allocates for them.
static uint32_t BoundedCellCount(int32_t count) {
    return count > kCellImageSize ? static_cast<uint32_t>(kCellImageSize) : static_cast<uint32_t>(count);
}

int32_t CBrailleSampleDriver::WriteTextCells(const unsigned char* cells, int32_t count) {
    if (suspended || !cells || count <= 0) return 0;
    return QueueWrite(CellWrite::Text, cells, BoundedCellCount(count));
}

int32_t CBrailleSampleDriver::WriteAllCells(const unsigned char* cells, int32_t count) {
    if (suspended || !cells || count <= 0) return 0;
    return QueueWrite(CellWrite::All, cells, BoundedCellCount(count));
}

int32_t CBrailleSampleDriver::ClearCells() {
    if (suspended) return 0;
    return QueueWrite(CellWrite::Clear, nullptr, 0);
}

int32_t CBrailleSampleDriver::Identify(char* name, int32_t size, void* id) {
    if (!name || !id) return 0;
    CopyTextOut(BRL_MAKER, sizeof BRL_MAKER, name, size);
    std::memcpy(id, kDriverGuid, sizeof kDriverGuid);
    return 1;
}
