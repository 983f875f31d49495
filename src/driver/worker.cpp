// Worker thread and command channel: host calls become numbered commands in
// thread messages; the worker carries them out one at a time and ticks every
// 100 ms.
#include <cstdlib>
#include <cstring>
#include <process.h>

#include "driver.h"

namespace {
constexpr DWORD kMaxCommandWaitMs = 30000;
}  // namespace

int CBrailleSampleDriver::StartWorkerThread() {
    workerStart = 0;
    unsigned id = 0;
    uintptr_t thread = _beginthreadex(nullptr, 0, &CBrailleSampleDriver::WorkerLoop, this, 0, &id);
    workerThread = reinterpret_cast<HANDLE>(thread);
    workerThreadId = id;
    if (workerThread) SetThreadPriority(workerThread, THREAD_PRIORITY_ABOVE_NORMAL);
    return workerThread ? 1 : 0;
}

unsigned __stdcall CBrailleSampleDriver::WorkerLoop(void* argument) {
    auto* self = static_cast<CBrailleSampleDriver*>(argument);
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    // Initialize may have given up on this thread already; then leave at once.
    if (InterlockedCompareExchange(&self->workerStart, 1, 0) != 0) return 0;
    SetEvent(self->commandDone);
    self->timerId = SetTimer(nullptr, 0, 100, nullptr);

    bool stopped = false;
    while (!stopped) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == -1) {
            // A failed retrieval is not an end; do not spin on a broken queue.
            Sleep(1);
            continue;
        }
        if (got == 0) continue;  // WM_QUIT does not end the worker
        if (!msg.hwnd && msg.message >= WM_DRIVER_COMMAND && msg.message <= WM_DRIVER_COMMAND + CMD_TICK) {
            stopped = !self->DispatchCommand(static_cast<int>(msg.message - WM_DRIVER_COMMAND),
                                             reinterpret_cast<void*>(msg.wParam), static_cast<uint32_t>(msg.lParam));
        } else if (msg.message == WM_TIMER) {
            stopped = !self->DispatchCommand(CMD_TICK, nullptr, 0);
        } else {
            DispatchMessageA(&msg);
        }
    }
    if (self->timerId) {
        KillTimer(nullptr, self->timerId);
        self->timerId = 0;
    }
    // Commands still queued behind the stop never run: release their payloads.
    while (PeekMessageA(&msg, reinterpret_cast<HWND>(-1), WM_DRIVER_COMMAND, WM_DRIVER_COMMAND + CMD_TICK, PM_REMOVE))
        std::free(reinterpret_cast<void*>(msg.wParam));
    return 0;
}

bool CBrailleSampleDriver::DispatchCommand(int command, void* data, uint32_t parameter) {
    bool result = true;
    switch (command) {
    case CMD_STOP:
        result = false;
        break;
    case CMD_OPEN:
        TakeBackPortGivenWhileStopped();
        OpenDevice(static_cast<const char*>(data));
        break;
    case CMD_CLOSE:
        CloseDevice();
        break;
    case CMD_SUSPEND:
        // The host sets `suspended` on its thread, while this thread's own
        // suspension and its search for a returning display set it here; a
        // display answering the search just as the host suspends could undo
        // the host's suspension. The newest suspend command carries the host's
        // last word, so carrying it out restores that word.
        if (parameter != 0) {
            if (!LaterSuspendQueued()) suspended = static_cast<int32_t>(parameter);
            SuspendLink();
        } else if (!OpenDevice(portName)) {
            // The display is not there to resume to: look for it once a second,
            // as after a removal.
            StartSearch();
        } else if (!LaterSuspendQueued()) {
            suspended = 0;
        }
        break;
    case CMD_TEXT_CELLS:
        if (data) SendTextCells(static_cast<const uint8_t*>(data), parameter);
        break;
    case CMD_ALL_CELLS:
        if (data) SendAllCells(static_cast<const uint8_t*>(data), parameter);
        break;
    case CMD_CLEAR:
        SendBlankCells();
        break;
    case CMD_TICK:
        ++tickCounter;
        PollTick();
        break;
    default:
        break;
    }
    std::free(data);
    SetEvent(commandDone);
    return result;
}

// Whether the host has posted another suspend or resume behind the one being
// carried out.
bool CBrailleSampleDriver::LaterSuspendQueued() {
    MSG msg;
    const UINT number = WM_DRIVER_COMMAND + CMD_SUSPEND;
    return PeekMessageA(&msg, nullptr, number, number, PM_NOREMOVE) != 0;
}

int32_t CBrailleSampleDriver::PostCommand(int command, const void* data, uint32_t length, int wait) {
    if (!workerThread) return 0;
    void* payload = nullptr;
    if (data && length != 0) {
        payload = std::malloc(static_cast<size_t>(length) + 1);
        if (!payload) return 0;
        std::memcpy(payload, data, length);
        static_cast<char*>(payload)[length] = 0;
    }
    ResetEvent(commandDone);
    BOOL posted = PostThreadMessageA(workerThreadId, WM_DRIVER_COMMAND + static_cast<UINT>(command),
                                     reinterpret_cast<WPARAM>(payload), static_cast<LPARAM>(length));
    if (!posted) {
        // The message never reaches the worker: the payload stays ours to free.
        std::free(payload);
    }
    // A posted payload belongs to the worker now; DispatchCommand frees it.
    if (!wait) return posted;  // NOLINT(clang-analyzer-unix.Malloc)
    // The longest command (an open with its handshakes) takes a few seconds; a
    // worker stuck far beyond that must not hang the host's call for ever.
    const DWORD started = GetTickCount();
    for (;;) {
        if (GetTickCount() - started > kMaxCommandWaitMs) return posted;
        DWORD r = MsgWaitForMultipleObjects(1, &commandDone, FALSE, 5000, QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0) return posted;
        if (r == WAIT_OBJECT_0 + 1) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            continue;
        }
        // A worker that has ended can never signal: stop waiting for it.
        if (WaitForSingleObject(workerThread, 0) == WAIT_OBJECT_0) return posted;
    }
}
