// Host-facing slots of the driver object: construction, start and stop,
// writes, suspension and identification.
#include <cstring>
#include <process.h>

#include "driver.h"

namespace {
HINSTANCE g_instance = nullptr;

// Driver GUID {D5D2D9E8-4637-4A07-BF46-42543A3CAACC} in its in-memory layout.
const uint8_t kDriverGuid[16] = {0xE8, 0xD9, 0xD2, 0xD5, 0x37, 0x46, 0x07, 0x4A,
                                 0xBF, 0x46, 0x42, 0x54, 0x3A, 0x3C, 0xAA, 0xCC};

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
CBrailleSampleDriver::CBrailleSampleDriver(IPlatform& seam) : platform(&seam) { std::memcpy(className, "KVR", 4); }

CBrailleSampleDriver::~CBrailleSampleDriver() {
    if (timerId) {
        KillTimer(nullptr, timerId);
        timerId = 0;
    }
    ReleaseHandoverSection();
}

bool CBrailleSampleDriver::OnWorkerThread() const { return workerThread && GetCurrentThreadId() == workerThreadId; }

void CBrailleSampleDriver::CleanUp() {
    if (commandDone) {
        CloseHandle(commandDone);
        commandDone = nullptr;
    }
    if (keyWindow) {
        DestroyWindow(keyWindow);
        keyWindow = nullptr;
    }
}

// Sends the stop command and waits for the worker thread to end.
void CBrailleSampleDriver::StopWorker() {
    if (!workerThread) return;
    PostThreadMessageA(workerThreadId, WM_DRIVER_COMMAND + CMD_STOP, 0, 0);
    WaitForSingleObject(workerThread, 5000);
    CloseHandle(workerThread);
    workerThread = nullptr;
}

int32_t CBrailleSampleDriver::Initialize(const char* port, IBrailleHost* newHost, const char* text1,
                                         const char* text2) {
    if (OnWorkerThread()) return 0;
    // A second Initialize while running restarts the driver instead of leaking
    // the running worker, its event and its window.
    if (workerThread) Terminate();
    // A run that ended suspended must not carry that into this start: while
    // suspended the serial link sends nothing, so the display would never be
    // asked to identify itself.
    suspended = 0;
    link = LinkState::Closed;

    commandDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!commandDone) {
        CleanUp();
        return 0;
    }
    ResetEvent(commandDone);
    if (!StartWorkerThread()) {
        CleanUp();
        return 0;
    }
    DWORD waited = WaitForSingleObject(commandDone, 5000);
    if (waited != WAIT_OBJECT_0 && InterlockedCompareExchange(&workerStart, 2, 0) == 0) {
        // The worker never reported its queue: it is abandoned and ends by itself
        // when it starts, without touching commandDone.
        CloseHandle(workerThread);
        workerThread = nullptr;
        CleanUp();
        return 0;
    }

    // Counts left by an earlier run must not make a failed open look like success.
    textCells = 0;
    statusCells = 0;
    const char* name = port ? port : "";
    PostCommand(CMD_OPEN, name, static_cast<uint32_t>(strnlen(name, 0x7fffffff)), 1);

    if (textCells > 0) {
        host = newHost;
        CopyText(initString1, sizeof initString1, text1);
        CopyText(initString2, sizeof initString2, text2);
        RegisterKeyWindowClass(ModuleInstance());
        // A resume while stopped may have made a window already; replace it, not leak it.
        if (keyWindow) DestroyWindow(keyWindow);
        keyWindow = CreateKeyWindow(ModuleInstance());
        initialized = 1;
        suspended = 0;
        return 1;
    }
    // A display that answered without text cells leaves its port open; close it
    // so that the next start finds the port free.
    PostCommand(CMD_CLOSE, nullptr, 0, 1);
    StopWorker();
    CleanUp();
    return 0;
}

void CBrailleSampleDriver::Terminate() {
    if (!initialized || OnWorkerThread()) return;
    PostCommand(CMD_CLOSE, nullptr, 0, 1);
    StopWorker();
    CleanUp();
}

IBrailleHost* CBrailleSampleDriver::SetHost(IBrailleHost* newHost) {
    IBrailleHost* old = host;
    host = newHost;
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
        // The worker cannot wait for itself, and the key window belongs to the
        // host's thread: suspend directly.
        if (flag != 0) SuspendFromWorker();
        return 1;
    }
    // A resume while the display is searched for leaves the search running.
    if (flag == suspended) return 1;
    suspended = flag;
    if (flag != 0 && keyWindow) {
        DestroyWindow(keyWindow);
        keyWindow = nullptr;
    } else if (flag == 0 && !keyWindow) {
        keyWindow = CreateKeyWindow(ModuleInstance());
    }
    return PostCommand(CMD_SUSPEND, nullptr, static_cast<uint32_t>(flag), 1);
}

// Cells beyond the cell image are never shown, so at most that many are copied:
// a huge count neither reads past them in the host's buffer nor allocates for them.
static uint32_t BoundedCellCount(int32_t count) {
    return count > kCellImageSize ? static_cast<uint32_t>(kCellImageSize) : static_cast<uint32_t>(count);
}

int32_t CBrailleSampleDriver::WriteTextCells(const unsigned char* cells, int32_t count) {
    if (suspended || !cells || count <= 0) return 0;
    return PostCommand(CMD_TEXT_CELLS, cells, BoundedCellCount(count), 0);
}

int32_t CBrailleSampleDriver::WriteAllCells(const unsigned char* cells, int32_t count) {
    if (suspended || !cells || count <= 0) return 0;
    return PostCommand(CMD_ALL_CELLS, cells, BoundedCellCount(count), 0);
}

int32_t CBrailleSampleDriver::ClearCells() {
    if (suspended) return 0;
    return PostCommand(CMD_CLEAR, nullptr, 0, 0);
}

int32_t CBrailleSampleDriver::Identify(char* name, int32_t size, void* id) {
    if (!name || !id) return 0;
    CopyTextOut("KVR", 4, name, size);
    std::memcpy(id, kDriverGuid, sizeof kDriverGuid);
    return 1;
}
