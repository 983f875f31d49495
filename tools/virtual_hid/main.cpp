// virtual_hid: installs the virtual HID display into the Wine prefix and plugs
// its device node in or out (a test tool, see scripts/virtual-hid).
//   virtual_hid install <driver .sys path>   the driver service, started, and no device node
//   virtual_hid plug | unplug                the device node in (the driver started if need be) or out
//   virtual_hid status                       what the driver holds
//   virtual_hid hold-open <ms>               another program with the display open for reading
//                                            and writing, until a line on stdin or ms have passed
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "virtual_hid_control.h"

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    std::string error;
    if (command == "install" && argc > 2) {
        // A device node left behind by a run that ended early goes too.
        if (vhid::Install(argv[2], &error) && vhid::Unplug(5000, &error)) return 0;
    } else if (command == "plug") {
        // The driver is started first if this Wine session has not loaded it yet.
        if (vhid::Install(vhid::DriverBesideProgram(), &error) && vhid::Plug(5000, &error)) return 0;
    } else if (command == "unplug") {
        if (vhid::Unplug(5000, &error)) return 0;
    } else if (command == "hold-open" && argc > 2) {
        HANDLE h = CreateFileA(vhid::DevicePath().c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            std::printf("open\n");
            std::fflush(stdout);
            HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
            const DWORD limit = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
            const DWORD start = GetTickCount();
            char c = 0;
            DWORD got = 0, avail = 0;
            while (GetTickCount() - start < limit) {
                if (PeekNamedPipe(in, nullptr, 0, nullptr, &avail, nullptr) && avail &&
                    ReadFile(in, &c, 1, &got, nullptr))
                    break;
                Sleep(20);
            }
            CloseHandle(h);
            return 0;
        }
        error = "cannot open the display, error " + std::to_string(GetLastError());
    } else if (command == "status") {
        vhid::CDisplayControl control;
        vhid::Status s;
        if (control.Open() && control.GetStatus(&s)) {
            std::printf("listed %d present %lu holding %lu held %lu reads %lu input %lu output %lu dropped %lu\n",
                        vhid::Listed() ? 1 : 0, s.present, s.holding, s.heldWrites, s.pendingReads, s.queuedInput,
                        s.queuedOutput, s.droppedOutput);
            return 0;
        }
        error = "the driver is not loaded";
    } else {
        std::fprintf(stderr, "usage: virtual_hid install <driver.sys> | plug | unplug | status | hold-open <ms>\n");
        return 2;
    }
    std::fprintf(stderr, "virtual_hid %s: %s\n", command.c_str(), error.c_str());
    return 1;
}
