#include "platform.h"

namespace {
class CRealPlatform final : public IPlatform {};

// QueryPerformanceCounter scaled to milliseconds, kept to 32 bits so it wraps
// like GetTickCount.
DWORD QpcMilliseconds() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart > 0 ? f.QuadPart : 1;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // Split to avoid overflow of now * 1000 for large counters.
    const LONGLONG whole = now.QuadPart / frequency;
    const LONGLONG rest = now.QuadPart % frequency;
    return static_cast<DWORD>(whole * 1000 + rest * 1000 / frequency);
}
}  // namespace

IPlatform& RealPlatform() {
    static CRealPlatform real;
    return real;
}

DWORD IPlatform::NowMs() { return QpcMilliseconds(); }
DWORD IPlatform::TickCount() { return GetTickCount(); }

void IPlatform::HidGetHidGuid(GUID* guid) { HidD_GetHidGuid(guid); }
HDEVINFO IPlatform::SetupGetClassDevs(const GUID* guid, DWORD flags) {
    return SetupDiGetClassDevsA(guid, nullptr, nullptr, flags);
}
BOOL IPlatform::SetupEnumDeviceInterfaces(HDEVINFO set, const GUID* guid, DWORD index, SP_DEVICE_INTERFACE_DATA* data) {
    return SetupDiEnumDeviceInterfaces(set, nullptr, guid, index, data);
}
BOOL IPlatform::SetupGetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                              SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size, DWORD* required) {
    return SetupDiGetDeviceInterfaceDetailA(set, data, detail, size, required, nullptr);
}
BOOL IPlatform::SetupDestroyDeviceInfoList(HDEVINFO set) { return SetupDiDestroyDeviceInfoList(set); }
HANDLE IPlatform::HidOpen(const char* path, DWORD access, DWORD share, DWORD flags) {
    return CreateFileA(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
}
BOOL IPlatform::HidGetAttributes(HANDLE h, HIDD_ATTRIBUTES* attributes) { return HidD_GetAttributes(h, attributes); }
BOOL IPlatform::HidGetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data) { return HidD_GetPreparsedData(h, data); }
NTSTATUS IPlatform::HidGetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) { return HidP_GetCaps(data, caps); }
BOOL IPlatform::HidFreePreparsedData(PHIDP_PREPARSED_DATA data) { return HidD_FreePreparsedData(data); }
BOOL IPlatform::HidWrite(HANDLE h, const void* buffer, DWORD size, DWORD* written, OVERLAPPED* overlapped) {
    return WriteFile(h, buffer, size, written, overlapped);
}
BOOL IPlatform::HidRead(HANDLE h, void* buffer, DWORD size, DWORD* read, OVERLAPPED* overlapped) {
    return ReadFile(h, buffer, size, read, overlapped);
}
BOOL IPlatform::HidCancelIo(HANDLE h) { return CancelIo(h); }
BOOL IPlatform::HidGetOverlappedResult(HANDLE h, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
    return GetOverlappedResult(h, overlapped, transferred, wait);
}
BOOL IPlatform::HidWaitOverlapped(HANDLE h, OVERLAPPED* overlapped, DWORD* transferred, DWORD milliseconds) {
    if (!overlapped || !overlapped->hEvent) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (WaitForSingleObject(overlapped->hEvent, milliseconds) != WAIT_OBJECT_0) {
        SetLastError(WAIT_TIMEOUT);
        return FALSE;
    }
    return GetOverlappedResult(h, overlapped, transferred, FALSE);
}
BOOL IPlatform::HidClose(HANDLE h) { return CloseHandle(h); }

HANDLE IPlatform::SerialOpen(const char* path, DWORD flags) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

DWORD IPlatform::ForegroundThread() {
    HWND window = ::GetForegroundWindow();
    return window ? ::GetWindowThreadProcessId(window, nullptr) : 0;
}
HKL IPlatform::GetKeyboardLayout(DWORD thread) { return ::GetKeyboardLayout(thread); }
SHORT IPlatform::VkKeyScanExW(WCHAR c, HKL layout) { return ::VkKeyScanExW(c, layout); }
UINT IPlatform::MapVirtualKeyExW(UINT code, UINT mapType, HKL layout) {
    return ::MapVirtualKeyExW(code, mapType, layout);
}
SHORT IPlatform::GetKeyState(DWORD thread, int vk) {
    const DWORD self = ::GetCurrentThreadId();
    // Attaching fails for a thread of another desktop or a higher integrity
    // level: the caller's own state is all there is then.
    const bool attached = thread && thread != self && ::AttachThreadInput(self, thread, TRUE);
    const SHORT state = ::GetKeyState(vk);
    if (attached) ::AttachThreadInput(self, thread, FALSE);
    return state;
}
UINT IPlatform::SendInputs(UINT count, INPUT* inputs, int size) { return ::SendInput(count, inputs, size); }

void BusyWait(IPlatform& platform, uint16_t milliseconds) {
    const DWORD start = platform.NowMs();
    while (static_cast<DWORD>(platform.NowMs() - start) <= milliseconds) YieldProcessor();
}
