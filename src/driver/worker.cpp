// Worker thread and command channel: host calls become numbered commands in
// thread messages; the worker carries them out one at a time and ticks every
// 100 ms. Host writes travel on a list of their own, so that a host writing
// without pause neither grows the queue nor delays the poll.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <process.h>

#include "driver.h"

namespace {
constexpr DWORD kMaxCommandWaitMs = 30000;
constexpr uint64_t kTickMs = protocol::kTickMs;

// Any address inside this module: the worker holds the module through it.
const char kModuleAnchor = 0;

// What a new worker thread is handed: its driver and a hold on the module,
// taken before the thread exists, so that a thread that starts late (after
// Initialize gave up on it and the host unloaded) still runs mapped code.
struct CWorkerStart {
    CBrailleSampleDriver* driver;
    HMODULE module;
};

constexpr UINT kLastCommand = WM_DRIVER_COMMAND + static_cast<UINT>(Command::Tick);

bool IsCommand(const MSG& msg) { return !msg.hwnd && msg.message >= WM_DRIVER_COMMAND && msg.message <= kLastCommand; }
UINT MessageOf(Command command) { return WM_DRIVER_COMMAND + static_cast<UINT>(command); }
uint32_t TicketOf(const MSG& msg) { return static_cast<uint32_t>(static_cast<uint64_t>(msg.lParam) >> 32); }
}  // namespace

// GetTickCount moves in 16 ms steps on Windows.
uint64_t DriverClockMs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    const uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
    const uint64_t c = static_cast<uint64_t>(count.QuadPart);
    return c / f * 1000 + c % f * 1000 / f;
}

DWORD WaitServingSent(DWORD count, const HANDLE* handles, DWORD boundMs) {
    const uint64_t started = DriverClockMs();
    for (;;) {
        const uint64_t elapsed = DriverClockMs() - started;
        const DWORD left = elapsed >= boundMs ? 0 : static_cast<DWORD>(boundMs - elapsed);
        const DWORD r = MsgWaitForMultipleObjectsEx(count, handles, left, QS_SENDMESSAGE, 0);
        if (r != WAIT_OBJECT_0 + count) return r;
        // Peeking runs the sent messages; with no posted message in its mask
        // and PM_NOREMOVE it takes nothing from the queue.
        MSG msg;
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE) && msg.message == WM_QUIT &&
            !PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE))
            PostQuitMessage(static_cast<int>(msg.wParam));  // a runtime that took it anyway: put it back
        if (left == 0) return WAIT_TIMEOUT;
    }
}

int CBrailleSampleDriver::StartWorkerThread() {
    workerStart = 0;
    stopRequested = 0;
    deferredSuspend = 0;
    deferredTerminate = 0;
    // Both events live as long as the driver object: a worker that outlives
    // Terminate's patience may still use them.
    for (CHandle* event : {&stopEvent, &workerEnded, &writesTaken})
        if (!*event) event->Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent || !workerEnded || !writesTaken) return 0;
    ResetEvent(stopEvent.Get());
    ResetEvent(workerEnded.Get());
    auto* start = static_cast<CWorkerStart*>(std::malloc(sizeof(CWorkerStart)));
    if (!start) return 0;
    start->driver = this;
    start->module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&kModuleAnchor),
                       &start->module);
    InterlockedIncrement(&liveWorkers);
    unsigned id = 0;
    const uintptr_t thread = _beginthreadex(nullptr, 0, &CBrailleSampleDriver::WorkerLoop, start, 0, &id);
    if (!thread) {
        InterlockedDecrement(&liveWorkers);
        if (start->module) FreeLibrary(start->module);
        std::free(start);
        return 0;
    }
    workerThreadId = id;
    workerThread = reinterpret_cast<HANDLE>(thread);
    SetThreadPriority(workerThread, THREAD_PRIORITY_ABOVE_NORMAL);
    return 1;
}

unsigned __stdcall CBrailleSampleDriver::WorkerLoop(void* argument) {
    // The module stays mapped while this thread runs in it, even when the host
    // unloads the DLL without Terminate; the hold goes as the thread ends.
    const CWorkerStart start = *static_cast<CWorkerStart*>(argument);
    std::free(argument);
    CBrailleSampleDriver* self = start.driver;
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    // Initialize may have given up on this thread already; then leave at once.
    if (InterlockedCompareExchange(&self->workerStart, 1, 0) == 0) {
        SetEvent(self->workerReady.Get());
        self->RunMessages();
        self->FinishWorker();
    }
    // Nothing of the driver is touched after this: a new worker may start.
    InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&self->workerThreadId), 0,
                               static_cast<LONG>(GetCurrentThreadId()));
    InterlockedDecrement(&self->liveWorkers);
    if (start.module) FreeLibraryAndExitThread(start.module, 0);
    return 0;
}

// Carries out commands one at a time until the stop. The poll runs when 100 ms
// have passed, whatever the queue holds; commands posted before it fell due run first.
void CBrailleSampleDriver::RunMessages() {
    uint64_t lastTick = DriverClockMs();
    DWORD lastTickCount = GetTickCount();
    MSG msg;
    for (;;) {
        if (stopRequested || deferredTerminate) return;
        const uint64_t now = DriverClockMs();
        const bool due = now - lastTick >= kTickMs;
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (due) {
                lastTick = now;
                lastTickCount = GetTickCount();
                RunTick();
                continue;
            }
            RunQueuedWrites();  // writes whose wake-up could not be posted
            WaitForWork(static_cast<DWORD>(kTickMs - (now - lastTick)));
            continue;
        }
        if (due && static_cast<LONG>(msg.time - (lastTickCount + static_cast<DWORD>(kTickMs))) > 0) {
            lastTick = now;
            lastTickCount = GetTickCount();
            RunTick();
        }
        if (msg.message == WM_QUIT) continue;  // WM_QUIT does not end the worker
        if (!IsCommand(msg)) {
            DispatchMessageA(&msg);
            continue;
        }
        const bool go = DispatchCommand(static_cast<Command>(msg.message - WM_DRIVER_COMMAND),
                                        reinterpret_cast<void*>(msg.wParam), static_cast<uint32_t>(msg.lParam));
        FinishCommand(TicketOf(msg));
        RunDeferredCalls();
        if (!go) return;
        // A host writing flat out keeps the queue from ever running dry: the
        // display's input (the acknowledgement that releases the next frame, a
        // key) is taken between commands too, not only when the worker sleeps.
        if (HANDLE input = ActiveInput(); input && WaitForSingleObject(input, 0) == WAIT_OBJECT_0) TakeInput();
    }
}

// Sleeps until a message, the stop, the display's input or the next tick. The
// active link keeps a read (or a wait for a character) outstanding: its input
// is handled the moment it arrives, not at the next tick.
void CBrailleSampleDriver::WaitForWork(DWORD untilTickMs) {
    HANDLE handles[2] = {stopEvent.Get(), ActiveInput()};
    const DWORD count = handles[1] ? 2 : 1;
    const DWORD woken = MsgWaitForMultipleObjectsEx(count, handles, untilTickMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (count == 2 && woken == WAIT_OBJECT_0 + 1) TakeInput();
}

// The event of the active link's outstanding read; null while no link runs,
// while the host's suspension holds, or when the link has no read outstanding.
HANDLE CBrailleSampleDriver::ActiveInput() const {
    return link == LinkState::Running && activeLink && !suspended ? activeLink->InputEvent() : nullptr;
}

void CBrailleSampleDriver::TakeInput() {
    activeLink->Poll();
    RunDeferredCalls();
}

void CBrailleSampleDriver::FinishWorker() {
    CloseDevice();
    if (deferredTerminate) {
        // Terminate called inside OnData: the host is withdrawn and the key
        // window closed (on its owner, or left with the system's procedure)
        // before this thread lets the module go: the host may unload the DLL
        // as soon as its callback has returned.
        host = nullptr;
        DestroyKeyWindow();
    }
    // Commands still queued never run: their callers are released (told that
    // nothing ran), their payloads freed, and writes behind the stop dropped.
    MSG msg;
    while (PeekMessageA(&msg, reinterpret_cast<HWND>(-1), WM_DRIVER_COMMAND, kLastCommand, PM_REMOVE)) {
        std::free(reinterpret_cast<void*>(msg.wParam));
        FinishCommand(TicketOf(msg), false);
    }
    FreeQueuedWrites();
    SetEvent(workerEnded.Get());
}

void CBrailleSampleDriver::RunTick() {
    RunQueuedWrites();
    PollTick();
    RunDeferredCalls();
}

bool CBrailleSampleDriver::DispatchCommand(Command command, void* data, uint32_t parameter) {
    bool go = true;
    switch (command) {
    case Command::Stop:
        go = false;
        break;
    case Command::Sync:
        RunQueuedWrites();  // the wake-up of the host's writes
        break;
    case Command::Open:
        TakeBackPortGivenWhileStopped();
        OpenDevice(data ? static_cast<const char*>(data) : "");
        break;
    case Command::Close:
        CloseDevice();
        break;
    case Command::Suspend:
        // Writes made before the suspension reach the cell image first.
        RunQueuedWrites();
        CarryOutSuspend(static_cast<int32_t>(parameter));
        break;
    case Command::Tick:
        RunTick();
        break;
    }
    std::free(data);
    return go;
}

// The host sets `suspended` on its thread before it posts the command; the
// newest suspend command carries the host's last word, so carrying it out
// restores that word unless the host has spoken again since (a search that
// found the display just as the host suspended cannot undo the suspension).
void CBrailleSampleDriver::CarryOutSuspend(int32_t flag) {
    if (!LaterSuspendQueued()) suspended = flag;
    if (flag != 0)
        SuspendLink();
    else if (!OpenDevice(nullptr))
        StartSearch();  // no display to resume to: looked for once a second, as after a removal
}

// Whether the host has posted another suspend or resume behind the one being
// carried out.
bool CBrailleSampleDriver::LaterSuspendQueued() {
    MSG msg;
    const UINT number = MessageOf(Command::Suspend);
    return PeekMessageA(&msg, nullptr, number, number, PM_NOREMOVE) != 0;
}

// ---- host writes ----

int32_t CBrailleSampleDriver::QueueWrite(CellWrite kind, const uint8_t* cells, uint32_t count) {
    if (!workerThread || stopRequested || deferredTerminate) return 0;
    // A host writing faster than the worker takes its writes is held back
    // here, so the list, and the worker's next pass over it, stay bounded. A
    // write made on the worker itself (from a callback) never waits for it.
    // The wait ends when the worker takes the list (it sets writesTaken), not
    // at a timer tick: Sleep(1) lasts a whole tick, 15.6 ms by default on Windows.
    if (queuedWriteCount >= kMaxQueuedWrites && GetCurrentThreadId() != workerThreadId) {
        const DWORD since = platform->NowMs();
        for (int round = 0; round < 64 && queuedWriteCount >= kMaxQueuedWrites && !stopRequested; ++round) {
            const DWORD waited = platform->NowMs() - since;
            if (waited >= kWriteBackoffMs) break;
            ResetEvent(writesTaken.Get());
            if (queuedWriteCount < kMaxQueuedWrites) break;
            HANDLE taken = writesTaken.Get();
            WaitServingSent(1, &taken, kWriteBackoffMs - waited);
        }
    }
    auto* write = static_cast<CCellWriteEntry*>(std::malloc(offsetof(CCellWriteEntry, cells) + count + 1));
    if (!write) return 0;
    write->kind = kind;
    write->count = count;
    if (count) std::memcpy(write->cells, cells, count);
    write->cells[count] = 0;
    InterlockedIncrement(&queuedWriteCount);
    CCellWriteEntry* head;
    do {
        head = queuedWrites;
        write->next = head;
    } while (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&queuedWrites), write, head) != head);
    // The list owns the write now. The worker has been woken for the writes
    // below it already.
    if (head) return 1;  // NOLINT(clang-analyzer-unix.Malloc)
    if (PostThreadMessageA(workerThreadId, MessageOf(Command::Sync), 0, 0)) return 1;
    // Not posted (a full queue): the worker's next tick takes the write. A
    // worker that has gone takes nothing; the write is freed with the run.
    return WorkerStillRunning() ? 1 : 0;
}

// Applies every queued write to the cell image in the order the host made them
// and sends only the newest image.
void CBrailleSampleDriver::RunQueuedWrites() {
    auto* taken = static_cast<CCellWriteEntry*>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&queuedWrites), nullptr));
    CCellWriteEntry* oldest = nullptr;
    LONG takenCount = 0;
    while (taken) {
        CCellWriteEntry* next = taken->next;
        taken->next = oldest;
        oldest = taken;
        taken = next;
        ++takenCount;
    }
    if (InterlockedExchangeAdd(&queuedWriteCount, -takenCount) >= kMaxQueuedWrites && writesTaken)
        SetEvent(writesTaken.Get());  // a host held back by a full list goes on
    while (oldest) {
        CCellWriteEntry* write = oldest;
        oldest = write->next;
        if (!oldest) {
            if (write->kind == CellWrite::Text)
                SendTextCells(write->cells, write->count);
            else if (write->kind == CellWrite::All)
                SendAllCells(write->cells, write->count);
            else
                SendBlankCells();
            std::free(write);
            continue;
        }
        // An earlier write only changes the image, as its send would have.
        if (write->kind != CellWrite::Clear) {
            const uint32_t first =
                write->kind == CellWrite::Text && statusCells > 0 ? static_cast<uint32_t>(statusCells) : 0;
            PlaceCells(first, write->cells, write->count);
        }
        std::free(write);
    }
}

void CBrailleSampleDriver::FreeQueuedWrites() {
    auto* taken = static_cast<CCellWriteEntry*>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&queuedWrites), nullptr));
    LONG takenCount = 0;
    while (taken) {
        CCellWriteEntry* next = taken->next;
        std::free(taken);
        taken = next;
        ++takenCount;
    }
    InterlockedExchangeAdd(&queuedWriteCount, -takenCount);
}

// ---- calls the host made inside OnData, on this thread ----

void CBrailleSampleDriver::RunDeferredCalls() {
    if (!InterlockedExchange(&deferredSuspend, 0)) return;
    const int32_t flag = deferredSuspendFlag;
    InterlockedIncrement(&keyEpoch);
    suspended = flag;
    if (flag != 0)
        SuspendLink();
    else if (!OpenDevice(nullptr))
        StartSearch();
}

// ---- posting and waiting ----

void CBrailleSampleDriver::FinishCommand(uint32_t ticket, bool ran) {
    const uint32_t slot = ticket & 0xFF;
    if (slot == 0 || slot > static_cast<uint32_t>(kCompletionSlots)) return;
    CCompletionSlot& completion = completions[slot - 1];
    InterlockedExchange(&completion.ran, ran ? 1 : 0);
    InterlockedExchange(&completion.doneGeneration, static_cast<LONG>(ticket >> 8));
    if (completion.event) SetEvent(completion.event.Get());
}

int32_t CBrailleSampleDriver::PostCommand(Command command, const void* data, uint32_t length, int wait, bool* posted) {
    if (posted) *posted = false;
    if (!workerThread) return 0;
    void* payload = nullptr;
    if (data && length != 0) {
        payload = std::malloc(static_cast<size_t>(length) + 1);
        if (!payload) return 0;
        std::memcpy(payload, data, length);
        static_cast<char*>(payload)[length] = 0;
    }
    const UINT number = MessageOf(command);
    if (!wait) {
        // One post and nothing else.
        const BOOL ok =
            PostThreadMessageA(workerThreadId, number, reinterpret_cast<WPARAM>(payload), static_cast<LPARAM>(length));
        if (posted) *posted = ok != 0;
        if (!ok) std::free(payload);  // never reached the worker: still ours
        return ok;                    // NOLINT(clang-analyzer-unix.Malloc) a posted payload is the worker's
    }
    // A waiting call has a completion slot of its own: it returns when its own
    // command has run, not at another command's signal.
    int slot = -1;
    for (int i = 0; i < kCompletionSlots && slot < 0; ++i)
        if (InterlockedCompareExchange(&completions[i].busy, 1, 0) == 0) slot = i;
    if (slot < 0) {
        std::free(payload);
        return 0;
    }
    CCompletionSlot& completion = completions[slot];
    if (!completion.event) completion.event.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    LONG generation = (completion.generation + 1) & 0xFFFFFF;
    if (generation == 0) generation = 1;
    completion.generation = generation;
    if (completion.event) ResetEvent(completion.event.Get());
    const uint64_t ticket = (static_cast<uint64_t>(generation) << 8) | static_cast<uint64_t>(slot + 1);
    if (!completion.event || !PostThreadMessageA(workerThreadId, number, reinterpret_cast<WPARAM>(payload),
                                                 static_cast<LPARAM>((ticket << 32) | length))) {
        std::free(payload);
        InterlockedExchange(&completion.busy, 0);
        return 0;
    }
    if (posted) *posted = true;
    // The longest command (an open with its handshakes) takes a few seconds; a
    // worker stuck far beyond that must not hang the host's call for ever.
    return WaitForCompletion(slot, generation, kMaxCommandWaitMs);  // NOLINT(clang-analyzer-unix.Malloc)
}

// Waits for one command while serving what other threads send this thread.
// Returns 1 when the command was carried out, 0 when the worker ended without
// running it or the bound passed.
int32_t CBrailleSampleDriver::WaitForCompletion(int slot, LONG generation, DWORD boundMs) {
    CCompletionSlot& completion = completions[slot];
    HANDLE handles[2] = {completion.event.Get(), workerEnded.Get()};
    const DWORD count = workerEnded ? 2 : 1;
    const uint64_t started = DriverClockMs();
    int32_t ran = 0;
    for (;;) {
        if (completion.doneGeneration == generation) {
            ran = completion.ran;
            break;
        }
        const uint64_t elapsed = DriverClockMs() - started;
        if (elapsed >= boundMs) break;
        const DWORD r = WaitServingSent(count, handles, static_cast<DWORD>(boundMs - elapsed));
        if (r == WAIT_OBJECT_0) {
            // A signal meant for an earlier, abandoned use of this slot.
            if (completion.doneGeneration != generation) ResetEvent(completion.event.Get());
            continue;
        }
        if (r == WAIT_OBJECT_0 + 1 && count == 2) {
            ran = completion.doneGeneration == generation ? completion.ran : 0;
            break;  // the worker has gone: nothing will run this command
        }
        if (r != WAIT_TIMEOUT) break;
    }
    InterlockedExchange(&completion.busy, 0);
    return ran;
}

// Asks nothing of the thread handle, which the call that stops the worker may
// be closing meanwhile.
bool CBrailleSampleDriver::WorkerStillRunning() {
    return workerThread && workerEnded && WaitForSingleObject(workerEnded.Get(), 0) == WAIT_TIMEOUT;
}

// Asks the worker to stop by a signal no queue limit can refuse, and by the
// stop command for a worker reading its queue.
void CBrailleSampleDriver::RequestStop() {
    InterlockedExchange(&stopRequested, 1);
    if (stopEvent) SetEvent(stopEvent.Get());
    PostThreadMessageA(workerThreadId, MessageOf(Command::Stop), 0, 0);
}

// Takes the worker thread handle (once: of two callers one gets it) and asks
// the worker to stop. Called with lifecycleLock held; nothing here waits.
HANDLE CBrailleSampleDriver::TakeWorker() {
    HANDLE thread = InterlockedExchangePointer(&workerThread, nullptr);
    if (thread) RequestStop();
    return thread;
}

// Waits up to 5 s for a taken worker to end, serving sent messages. A worker
// that does not end in time keeps everything it uses; its handle is kept to be
// closed once it has gone.
void CBrailleSampleDriver::ReapWorker(HANDLE thread) {
    if (!thread) return;
    if (WaitServingSent(1, &thread, 5000) == WAIT_OBJECT_0) {
        CloseHandle(thread);
        return;
    }
    HANDLE older = InterlockedExchangePointer(&staleWorker, thread);
    if (older) CloseHandle(older);
}

void CBrailleSampleDriver::StopWorker() {
    EnterCriticalSection(&lifecycleLock);
    HANDLE thread = TakeWorker();
    LeaveCriticalSection(&lifecycleLock);
    ReapWorker(thread);
}
