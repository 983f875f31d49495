// The simulated display's USB end (see the header).
#include "usb_end.h"

#include <cstdio>

namespace sim {

std::string DescribeUsbReport(const char* direction, const vhid::Report& report) {
    const uint8_t* p = report.data() + 1;
    const bool fromDriver = direction[0] == '<';
    if (p[0] == 0xFB && p[1] == 0xAA && p[2] == 0x55) return fromDriver ? "hello" : "hello reply";
    if (!fromDriver) {
        if (p[0] == 0xFD) return "routing key " + std::to_string(p[1]);
        if (p[0] == 0xFE) return "function key " + std::to_string(p[1]);
        if (p[0] == 0xFF) return "acknowledgement";
        return "report";
    }
    if (p[0] == 0xFF && p[1] == 0xAA && p[2] == 0x55) return "display frame, report 1 of 6";
    if (p[5] == 0x55 && p[6] == 0xAA && p[7] == 0xFF) return "display frame, report 6 of 6";
    return "display frame, next report";
}

bool CUsbEnd::Open(const CellsCallback& onCells, const std::function<void(const std::string&)>& traceLine,
                   std::string* error) {
    if (!vhid::Install(vhid::DriverBesideProgram(), error) || !vhid::Plug(5000, error)) return false;
    display.onFrame = [onCells](const vhid::CUsbDisplay::Frame& frame) {
        std::array<uint8_t, kImageCells> image{};
        for (size_t i = 0; i < kFrameTextCells; ++i) image[kStatusCells + i] = frame.cells[i];
        if (onCells) onCells(image);
    };
    if (traceLine)
        display.onReport = [traceLine](const char* direction, const vhid::Report& report) {
            char head[32];
            snprintf(head, sizeof head, "[%10.1f] ", NowMs());
            traceLine(head + std::string(direction) + " " + HexBytes(report.data(), report.size()) + "  " +
                      DescribeUsbReport(direction, report) + "\n");
        };
    if (!display.Start() || !display.Control().Reset()) {
        *error = "the virtual display's control device does not answer";
        return false;
    }
    open = true;
    return true;
}

void CUsbEnd::Close() {
    if (!open) return;
    open = false;
    display.Stop();
    std::string ignored;
    vhid::Unplug(5000, &ignored);
}

bool CUsbEnd::WaitForText(DWORD ms) {
    return vhid::CUsbDisplay::WaitFor(
        [&] {
            for (const auto& frame : display.Frames())
                for (size_t i = 0; i < kFrameTextCells; ++i)
                    if (frame.cells[i]) return true;
            return false;
        },
        ms);
}

std::string CUsbEnd::Summary() const {
    return "frames " + std::to_string(display.Frames().size()) + ", hellos " + std::to_string(display.HelloCount()) +
           ", reports taken " + std::to_string(display.Reports().size());
}

}  // namespace sim
