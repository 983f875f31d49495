// The seam: the few platform services that cannot be produced for real under
// Wine in tests. Everything else (threads, queues, timers, windows, events,
// serial ports, file mappings) is used directly.
//
//  - the 1 ms clock of the driver's waits and time-outs, and the GetTickCount
//    value handed to the host;
//  - the USB HID stack: SetupAPI enumeration, HidD_/HidP_ calls and the file
//    calls made on HID handles;
//  - opening a serial port (a Bluetooth port connects inside the open and
//    can block for seconds, which a test must be able to stand in for);
//  - keystroke synthesis.
//
// Production binds RealPlatform() once; tests derive from IPlatform, override
// what they simulate and hand the object to a driver they create themselves.
#ifndef BRL_PLATFORM_H
#define BRL_PLATFORM_H

#include <windows.h>
extern "C" {
#include <hidsdi.h>
// hidpi.h needs the usage types that hidsdi.h brings in.
#include <hidpi.h>
}
#include <setupapi.h>
#include <stdint.h>

class IPlatform {
public:
    // --- clocks ---
    // Milliseconds with 1 ms resolution, wrapping at 2^32 (GetTickCount moves in
    // steps of about 16 ms, too coarse for the driver's 2 ms waits).
    virtual DWORD NowMs();
    // GetTickCount itself, for values handed to the host as tick counts.
    virtual DWORD TickCount();

    // --- USB HID stack ---
    virtual void HidGetHidGuid(GUID* guid);
    virtual HDEVINFO SetupGetClassDevs(const GUID* guid, DWORD flags);
    virtual BOOL SetupEnumDeviceInterfaces(HDEVINFO set, const GUID* guid, DWORD index, SP_DEVICE_INTERFACE_DATA* data);
    virtual BOOL SetupGetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                               SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size, DWORD* required);
    virtual BOOL SetupDestroyDeviceInfoList(HDEVINFO set);
    // CreateFileA on a HID device path (OPEN_EXISTING); access 0 opens a device
    // only to read its attributes and capabilities.
    virtual HANDLE HidOpen(const char* path, DWORD access, DWORD share, DWORD flags);
    virtual BOOL HidGetAttributes(HANDLE h, HIDD_ATTRIBUTES* attributes);
    virtual BOOL HidGetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data);
    virtual NTSTATUS HidGetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps);
    virtual BOOL HidFreePreparsedData(PHIDP_PREPARSED_DATA data);
    // Output reports go out overlapped (the handle is opened so); a write that
    // went pending is waited for with HidWaitOverlapped.
    virtual BOOL HidWrite(HANDLE h, const void* buffer, DWORD size, DWORD* written, OVERLAPPED* overlapped);
    virtual BOOL HidRead(HANDLE h, void* buffer, DWORD size, DWORD* read, OVERLAPPED* overlapped);
    virtual BOOL HidCancelIo(HANDLE h);
    virtual BOOL HidGetOverlappedResult(HANDLE h, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
    // Waits at most `milliseconds` for an overlapped operation (its event must be
    // set); FALSE with WAIT_TIMEOUT when it has not finished by then, else as
    // GetOverlappedResult without waiting.
    virtual BOOL HidWaitOverlapped(HANDLE h, OVERLAPPED* overlapped, DWORD* transferred, DWORD milliseconds);
    virtual BOOL HidClose(HANDLE h);

    // --- serial port ---
    // CreateFileA on a serial device path ("\\.\COM3"): read and write, no
    // sharing, OPEN_EXISTING, the given flags.
    virtual HANDLE SerialOpen(const char* path, DWORD flags);

    // --- keystroke synthesis ---
    // The thread of the foreground window, which receives what is typed; 0
    // when there is no foreground window.
    virtual DWORD ForegroundThread();
    // GetKeyboardLayout: a thread's active layout; thread 0 is the caller.
    virtual HKL GetKeyboardLayout(DWORD thread);
    // VkKeyScanExW: the key value of a UTF-16 character in a layout (virtual
    // key in the low byte, 1 Shift, 2 Ctrl, 4 Alt in the high byte), -1 for none.
    virtual SHORT VkKeyScanExW(WCHAR c, HKL layout);
    virtual UINT MapVirtualKeyExW(UINT code, UINT mapType, HKL layout);
    // GetKeyState as a thread sees it (0: the caller); bit 0 of a toggle key
    // (VK_CAPITAL) is set while it is on. A thread's key state follows only the
    // keyboard input it reads itself, so another thread's is read while the
    // caller's input is attached to it (AttachThreadInput).
    virtual SHORT GetKeyState(DWORD thread, int vk);
    virtual UINT SendInputs(UINT count, INPUT* inputs, int size);

protected:
    ~IPlatform() = default;
};

// The process-wide binding to the real functions.
IPlatform& RealPlatform();

// Spins on the seam's clock until more than `milliseconds` have passed; it
// neither sleeps nor handles messages (the display's hello and identification
// are timed in steps of a few milliseconds, finer than a sleep's tick).
void BusyWait(IPlatform& platform, uint16_t milliseconds);

#endif
