// The user-mode side of the virtual HID display (a test tool): installing the
// kernel driver into a Wine prefix, plugging its device node in and out, and
// playing the display through the driver's control device.
#ifndef VIRTUAL_HID_CONTROL_CLIENT_H
#define VIRTUAL_HID_CONTROL_CLIENT_H

#include <windows.h>

#include <cstdint>
#include <string>

namespace vhid {

constexpr std::size_t kPayloadSize = 8;
constexpr std::size_t kReportSize = 9;  // report ID 0 + payload

// Registers the driver service (demand start, image at sysPath) and starts it;
// true once the driver's control device is there. Idempotent: a running
// driver is left as it is. No device node is made: the display is plugged in
// only by Plug, so nothing else in the prefix finds it by chance.
bool Install(const std::string& sysPath, std::string* error);
// virtual_hid.sys beside the running program, where the build puts it.
std::string DriverBesideProgram();
// The device node in (the HID interface listed) or out (gone), each within
// timeoutMs. Idempotent.
bool Plug(DWORD timeoutMs, std::string* error);
bool Unplug(DWORD timeoutMs, std::string* error);
// True while the display's HID interface is listed; its path, empty when not.
bool Listed();
std::string DevicePath();

struct Status {
    unsigned long present, holding, heldWrites, pendingReads, queuedInput, queuedOutput, droppedOutput;
};

// One open handle on the control device. Every call is bounded.
class CDisplayControl {
public:
    CDisplayControl() = default;
    ~CDisplayControl();
    CDisplayControl(const CDisplayControl&) = delete;
    CDisplayControl& operator=(const CDisplayControl&) = delete;

    // False when the driver is not loaded.
    bool Open();
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    // Queues one input report (the payload; report ID 0 is implied).
    bool PushInput(const uint8_t* payload);
    // The oldest output report the device took (report ID first), waiting up
    // to timeoutMs for one.
    bool TakeOutput(uint8_t* report, DWORD timeoutMs);
    // From now on the device takes no writes until Release; Release hands the
    // held ones on in order.
    bool Hold();
    bool Release();
    bool GetStatus(Status* status);
    // Drops queued input and output reports.
    bool Reset();

private:
    bool Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD timeoutMs, DWORD* got);
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace vhid

#endif
