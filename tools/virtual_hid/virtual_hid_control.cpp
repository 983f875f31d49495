// Installing, plugging and playing the virtual HID display (see the header).
// The root device node is made through SetupAPI without an .inf: its hardware
// ID and service are set directly, and Wine is asked to enumerate root devices
// again with its private service control code.
#include "virtual_hid_control.h"

#include <devguid.h>
#include <initguid.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <cstring>

#include "control.h"

namespace vhid {
namespace {

constexpr char kServiceName[] = "VirtualHidDisplay";
constexpr char kInstanceId[] = "ROOT\\VIRTUALHIDDISPLAY\\0000";
// A multi-string: one hardware ID.
constexpr char kHardwareId[] = "ROOT\\VirtualHidDisplay\0";
constexpr char kInterfaceMark[] = "virtualhiddisplay";
// Wine-private: the driver's host enumerates its root devices again.
constexpr DWORD kReenumerateRootDevices = 128;
constexpr DWORD kServiceStartBoundMs = 120000;

std::string Fail(const char* what) { return std::string(what) + " failed, error " + std::to_string(GetLastError()); }

// Waits while answering sent messages: Wine announces a new device to every
// window and waits for each, so a waiting installer must keep answering.
void PumpFor(DWORD ms) {
    const DWORD start = GetTickCount();
    for (DWORD elapsed = 0; elapsed < ms; elapsed = GetTickCount() - start) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
}

bool WaitListed(bool wanted, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (Listed() == wanted) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
        PumpFor(20);
    }
}

// Asks the driver's host to look at the root device nodes of its service again
// (what Wine's own SetupDiRemoveDevice does too).
bool Reenumerate(std::string* error) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) {
        *error = Fail("OpenSCManager");
        return false;
    }
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_USER_DEFINED_CONTROL);
    bool ok = false;
    if (service) {
        SERVICE_STATUS status;
        ok = ControlService(service, kReenumerateRootDevices, &status) != FALSE;
        if (!ok) *error = Fail("ControlService(re-enumerate)");
        CloseServiceHandle(service);
    } else {
        *error = Fail("OpenService");
    }
    CloseServiceHandle(manager);
    return ok;
}

// An empty device list and a record for the node; INVALID_HANDLE_VALUE on failure.
HDEVINFO NewNodeList(SP_DEVINFO_DATA* device, std::string* error) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) *error = Fail("SetupDiCreateDeviceInfoList");
    std::memset(device, 0, sizeof *device);
    device->cbSize = sizeof *device;
    return set;
}

// Adds the device node when it is missing.
bool RegisterNode(std::string* error) {
    SP_DEVINFO_DATA device;
    HDEVINFO set = NewNodeList(&device, error);
    if (set == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    if (SetupDiOpenDeviceInfoA(set, kInstanceId, nullptr, 0, &device)) {
        // Already there.
    } else if (!SetupDiCreateDeviceInfoA(set, kInstanceId, &GUID_DEVCLASS_HIDCLASS, nullptr, nullptr, 0, &device)) {
        *error = Fail("SetupDiCreateDeviceInfo");
        ok = false;
    } else if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(kHardwareId), sizeof kHardwareId)) {
        *error = Fail("SetupDiSetDeviceRegistryProperty(hardware ID)");
        ok = false;
    } else if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_SERVICE,
                                                  reinterpret_cast<const BYTE*>(kServiceName), sizeof kServiceName)) {
        *error = Fail("SetupDiSetDeviceRegistryProperty(service)");
        ok = false;
    } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        *error = Fail("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
        ok = false;
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

bool RemoveNode(std::string* error) {
    SP_DEVINFO_DATA device;
    HDEVINFO set = NewNodeList(&device, error);
    if (set == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    if (SetupDiOpenDeviceInfoA(set, kInstanceId, nullptr, 0, &device) &&
        !SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
        *error = Fail("SetupDiCallClassInstaller(DIF_REMOVE)");
        ok = false;
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

// StartService on a thread of its own while this one answers messages; its
// error, 0 on success.
DWORD StartPumping(SC_HANDLE service) {
    struct Call {
        SC_HANDLE service;
        DWORD error;
    } call{service, 0};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            auto* c = static_cast<Call*>(p);
            c->error = StartServiceA(c->service, 0, nullptr) ? 0 : GetLastError();
            return 0;
        },
        &call, 0, nullptr);
    if (!thread) return GetLastError();
    while (WaitForSingleObject(thread, 0) == WAIT_TIMEOUT) PumpFor(20);
    CloseHandle(thread);
    return call.error;
}

bool EnsureService(const std::string& sysPath, std::string* error) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        *error = Fail("OpenSCManager");
        return false;
    }
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
    if (service) {
        // Keep the image path current; a running driver stays as it is.
        ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, sysPath.c_str(), nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr);
    } else {
        service = CreateServiceA(manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, sysPath.c_str(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr);
    }
    if (!service) {
        *error = Fail("CreateService");
        CloseServiceHandle(manager);
        return false;
    }
    // Right after Wine has started, its services hold the service database
    // for half a minute or so (StartService answers 1055), and a start may
    // time out (1053) while the driver comes up anyway: start until running.
    bool ok = false;
    const DWORD start = GetTickCount();
    DWORD lastError = 0;
    for (;;) {
        SERVICE_STATUS status;
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING) {
            ok = true;
            break;
        }
        if (GetTickCount() - start > kServiceStartBoundMs) {
            SetLastError(lastError);
            *error = Fail("StartService");
            break;
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            lastError = StartPumping(service);
            if (lastError && lastError != ERROR_SERVICE_ALREADY_RUNNING && lastError != ERROR_SERVICE_REQUEST_TIMEOUT &&
                lastError != ERROR_SERVICE_DATABASE_LOCKED) {
                SetLastError(lastError);
                *error = Fail("StartService");
                break;
            }
        }
        PumpFor(200);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

}  // namespace

std::string DevicePath() {
    GUID hid;
    HidD_GetHidGuid(&hid);
    HDEVINFO set = SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return "";
    std::string found;
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    for (DWORD i = 0; found.empty() && SetupDiEnumDeviceInterfaces(set, nullptr, &hid, i, &data); ++i) {
        char buffer[1024] = {};
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof buffer - 1, nullptr, nullptr)) continue;
        std::string path(detail->DevicePath);
        std::string lower = path;
        for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (lower.find(kInterfaceMark) != std::string::npos) found = path;
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

bool Listed() { return !DevicePath().empty(); }

bool Install(const std::string& sysPath, std::string* error) {
    if (!EnsureService(sysPath, error)) return false;
    // The driver makes its control device when it loads.
    const DWORD start = GetTickCount();
    for (;;) {
        CDisplayControl control;
        if (control.Open()) return true;
        if (GetTickCount() - start > 10000) break;
        PumpFor(100);
    }
    *error = "the driver's control device did not appear";
    return false;
}

std::string DriverBesideProgram() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return "virtual_hid.sys";
    std::string path(self, n);
    path.erase(path.find_last_of("\\/") + 1);
    return path + "virtual_hid.sys";
}

bool Plug(DWORD timeoutMs, std::string* error) {
    if (Listed()) return true;
    if (!RegisterNode(error) || !Reenumerate(error)) return false;
    if (WaitListed(true, timeoutMs)) return true;
    *error = "the HID interface did not appear";
    return false;
}

bool Unplug(DWORD timeoutMs, std::string* error) {
    if (!RemoveNode(error) || !Reenumerate(error)) return false;
    if (WaitListed(false, timeoutMs)) return true;
    *error = "the HID interface did not go";
    return false;
}

CDisplayControl::~CDisplayControl() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

bool CDisplayControl::Open() {
    if (handle_ != INVALID_HANDLE_VALUE) return true;
    handle_ = CreateFileW(L"\\\\.\\" VHID_CONTROL_NAME, GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    return handle_ != INVALID_HANDLE_VALUE;
}

bool CDisplayControl::Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD timeoutMs,
                              DWORD* got) {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    // An event per call: the display's thread takes reports while others push keys.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event) return false;
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = event;
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(handle_, code, const_cast<void*>(in), inSize, out, outSize, &bytes, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        // CancelIo takes only this thread's request; the control device's
        // requests can be cancelled, so the wait after it ends.
        if (WaitForSingleObject(event, timeoutMs) != WAIT_OBJECT_0) CancelIo(handle_);
        ok = GetOverlappedResult(handle_, &overlapped, &bytes, TRUE);
    }
    CloseHandle(event);
    if (got) *got = bytes;
    return ok != FALSE;
}

bool CDisplayControl::PushInput(const uint8_t* payload) {
    return Control(VHID_IOCTL_PUSH_INPUT, payload, kPayloadSize, nullptr, 0, 5000, nullptr);
}

bool CDisplayControl::TakeOutput(uint8_t* report, DWORD timeoutMs) {
    DWORD got = 0;
    return Control(VHID_IOCTL_TAKE_OUTPUT, nullptr, 0, report, kReportSize, timeoutMs, &got) && got == kReportSize;
}

bool CDisplayControl::Hold() {
    const ULONG on = 1;
    return Control(VHID_IOCTL_HOLD_WRITES, &on, sizeof on, nullptr, 0, 5000, nullptr);
}

bool CDisplayControl::Release() {
    const ULONG off = 0;
    return Control(VHID_IOCTL_HOLD_WRITES, &off, sizeof off, nullptr, 0, 5000, nullptr);
}

bool CDisplayControl::GetStatus(Status* status) {
    VHID_STATUS raw;
    std::memset(&raw, 0, sizeof raw);
    DWORD got = 0;
    if (!Control(VHID_IOCTL_GET_STATUS, nullptr, 0, &raw, sizeof raw, 5000, &got) || got != sizeof raw) return false;
    *status = Status{raw.present,     raw.holding,      raw.heldWrites,   raw.pendingReads,
                     raw.queuedInput, raw.queuedOutput, raw.droppedOutput};
    return true;
}

bool CDisplayControl::Reset() { return Control(VHID_IOCTL_RESET, nullptr, 0, nullptr, 0, 5000, nullptr); }

}  // namespace vhid
