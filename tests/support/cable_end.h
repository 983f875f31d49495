// One end of a virtual cable opened with plain Win32 at 38400 8N1: the
// display's end for tests that play the display by hand, or the driver's end
// for a borrower.
#ifndef BRL_CABLE_END_H
#define BRL_CABLE_END_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace testenv {

class CCableEnd {
public:
    explicit CCableEnd(const std::string& port);
    ~CCableEnd();
    CCableEnd(const CCableEnd&) = delete;
    CCableEnd& operator=(const CCableEnd&) = delete;

    bool IsOpen() const { return handle != INVALID_HANDLE_VALUE; }
    bool Send(const std::vector<uint8_t>& bytes);
    // Reads until `size` bytes have arrived or the time is up; returns what came.
    std::vector<uint8_t> Receive(size_t size, DWORD timeoutMs);
    // Reads whatever arrives within the time.
    std::vector<uint8_t> Drain(DWORD timeoutMs);

private:
    HANDLE handle = INVALID_HANDLE_VALUE;
};

struct Cable;
// The cable goes away for good (its ptys vanish: handles on it go dead and its
// COM names lead nowhere) and, after `awayMs`, a new cable comes in under the
// same names, through scripts/cables (BRL_CABLE_TOOL in the run's cables.env).
// True when both steps were seen to happen; the new cable is plugged in anyway.
bool ReplugCable(const Cable& cable, DWORD awayMs);

// Serial opens wait up to 10 s until `released` is set, as a Bluetooth port's
// open blocks while it connects; HID enumeration finds no device. Destroyed,
// it releases the opens and waits until they have left it.
struct CSlowOpen : IPlatform {
    HANDLE released = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    volatile LONG blocked = 0;
    ~CSlowOpen();
    HDEVINFO SetupGetClassDevs(const GUID*, DWORD) override { return INVALID_HANDLE_VALUE; }
    HANDLE SerialOpen(const char* path, DWORD flags) override;
};

}  // namespace testenv

#endif
