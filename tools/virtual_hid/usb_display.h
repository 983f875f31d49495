// The USB display played on the virtual HID device (a test tool): answers the
// hello, puts each display frame (six output reports) back together,
// acknowledges it, and sends key reports. The tests, the benchmark and the
// simulator's USB transport use it.
#ifndef VIRTUAL_HID_USB_DISPLAY_H
#define VIRTUAL_HID_USB_DISPLAY_H

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "virtual_hid_control.h"

namespace vhid {

using Report = std::array<uint8_t, kReportSize>;

class CUsbDisplay {
public:
    struct Frame {
        std::array<uint8_t, 42> cells{};  // in the display's dot order
        double ms = 0;                    // when its last report was taken (Now())
    };

    CUsbDisplay() = default;
    ~CUsbDisplay();
    CUsbDisplay(const CUsbDisplay&) = delete;
    CUsbDisplay& operator=(const CUsbDisplay&) = delete;

    // Opens the control device (false when the driver is not loaded) and
    // starts taking output reports.
    bool Start();
    void Stop();

    // Frames are acknowledged as they complete unless this is off.
    void SetAutoAck(bool on) { autoAck_ = on; }
    void SetAnswersHello(bool on) { answersHello_ = on; }
    bool Ack();
    bool PressRoutingKey(uint8_t code);
    bool PressFunctionKey(uint8_t code);
    bool Send(const std::array<uint8_t, kPayloadSize>& payload);
    // Holds writes now and releases them after ms (or at Stop).
    bool HoldFor(DWORD ms);

    std::vector<Report> Reports() const;
    std::vector<Frame> Frames() const;
    size_t HelloCount() const;
    void Clear();
    // Polls the condition until it holds or ms have passed.
    static bool WaitFor(const std::function<bool()>& condition, DWORD ms);
    // Milliseconds on a fine clock, for timing.
    static double Now();

    CDisplayControl& Control() { return control_; }
    // Called on the display's thread for each complete frame.
    std::function<void(const Frame&)> onFrame;
    // Called for every report: taken from the driver ("<-") or sent to it
    // ("->"). Set before Start.
    std::function<void(const char* direction, const Report& report)> onReport;

private:
    void Run();
    void Take(const Report& report);

    CDisplayControl control_;
    std::thread thread_, releaser_;
    HANDLE stopEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> stop_{false}, autoAck_{true}, answersHello_{true};
    mutable std::mutex lock_;
    std::vector<Report> reports_;
    std::vector<Frame> frames_;
    size_t hellos_ = 0;
    Frame building_;
    int nextPart_ = 0;  // which report of a frame comes next (0: none started)
};

}  // namespace vhid

#endif
