// The USB display through a real HID stack: the DLL as a host loads it, Wine's
// HID class driver, and the virtual display device (tools/virtual_hid) played
// in this process. Open time, last write to the newest image complete at the
// display, display key to OnKey, and the idle worker's cost with the display attached.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "bench.h"
#include "usb_display.h"

namespace bench {

void UsbStack(const Settings& s) {
    std::printf("\n## USB through Wine's HID stack (virtual display device)\n");
    std::string error;
    if (!vhid::Install(testenv::BesideMe("virtual_hid.sys"), &error) || !vhid::Plug(5000, &error)) {
        Report("usb stack", "skipped: " + error + " (scripts/virtual-hid install)");
        return;
    }
    vhid::CUsbDisplay display;
    if (!display.Start() || !display.Control().Reset()) {
        Report("usb stack", "skipped: the display's control device does not answer");
        vhid::Unplug(5000, &error);
        return;
    }
    IBrailleDriver* d = LoadDriver();
    CTimingHost host;

    std::vector<double> open;
    const int opens = s.quick ? 5 : 20;
    int started = 0;
    DWORD workerId = 0;
    for (int i = 0; i < opens; ++i) {
        const std::vector<DWORD> before = probes::ThreadIds();
        const double t = probes::NowMs();
        started += d->Initialize("COM250", &host, "", "") == 1;
        open.push_back(probes::NowMs() - t);
        for (DWORD id : probes::ThreadIds())  // the one thread that Initialize adds
            if (std::find(before.begin(), before.end(), id) == before.end()) workerId = id;
        if (i + 1 < opens) d->Terminate();
    }
    ReportTimes(Printf("open (Initialize, %d of %d started)", started, opens).c_str(), open, "ms");

    // Bursts of ten writes; the time from the last write until the display
    // has the newest image whole.
    std::vector<double> newest;
    uint32_t seed = 1000;
    const int bursts = s.quick ? 10 : 40;
    for (int b = 0; b < bursts; ++b) {
        std::vector<uint8_t> last;
        for (int i = 0; i < 10; ++i) {
            last = Pattern(++seed);
            d->WriteTextCells(last.data(), 40);
        }
        const double written = probes::NowMs();
        std::array<uint8_t, 40> want{};
        for (size_t i = 0; i < 40; ++i) want[i] = sim::HostToDeviceDots(last[i]);
        double at = -1;
        // The display's 40 cells; the frame's last two carry what the image
        // holds past them (an earlier serial session's text, in a full run).
        WaitUntil(
            [&] {
                const auto frames = display.Frames();
                if (!frames.empty() && std::equal(want.begin(), want.end(), frames.back().cells.begin()))
                    at = frames.back().ms;
                return at >= 0;
            },
            5000);
        if (at >= 0) newest.push_back(at - written);
        Pump(150);
    }
    ReportTimes(Printf("last write -> newest image at the display (%zu of %d bursts)", newest.size(), bursts).c_str(),
                newest, "ms");

    const int presses = s.quick ? 50 : 200;
    const std::vector<double> keys =
        KeyLags(host, presses, [&](int i) { display.PressFunctionKey(static_cast<uint8_t>(1 + i % 10)); });
    ReportTimes(Printf("display key -> OnKey (%zu of %d keys)", keys.size(), presses).c_str(), keys, "ms");
    Pump(1000);
    ReportIdle(workerId, s.quick ? 5000 : 30000);

    d->Terminate();
    display.Stop();
    vhid::Unplug(5000, &error);
}

}  // namespace bench
