// The simulated display's USB end: the display played on the virtual HID
// device (tools/virtual_hid) under Wine, with the same braille on screen and
// the same trace as on a serial port.
#ifndef DISPLAYSIM_USB_END_H
#define DISPLAYSIM_USB_END_H

#include <windows.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "display_sim.h"
#include "usb_display.h"

namespace sim {

class CUsbEnd {
public:
    using CellsCallback = std::function<void(const std::array<uint8_t, kImageCells>& deviceCells)>;
    ~CUsbEnd() { Close(); }

    // Loads the virtual device's driver when it is not loaded yet and plugs the
    // display in. onCells gets every frame as a serial display frame would be:
    // no status cells, then the 40 text cells. traceLine, when set, gets one
    // line per report. False with the reason in error.
    bool Open(const CellsCallback& onCells, const std::function<void(const std::string&)>& traceLine,
              std::string* error);
    // Pulls the display out. Idempotent.
    void Close();

    bool PressFunctionKey(uint8_t code) { return display.PressFunctionKey(code); }
    bool PressRoutingKey(uint8_t code) { return display.PressRoutingKey(code); }
    bool WaitForText(DWORD ms);
    // "frames 12, hellos 1, reports taken 73"
    std::string Summary() const;

private:
    vhid::CUsbDisplay display;
    bool open = false;
};

// What a report means, for the trace.
std::string DescribeUsbReport(const char* direction, const vhid::Report& report);

}  // namespace sim

#endif
