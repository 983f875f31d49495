// The display's typing reaches the keyboard through here: the host hears of
// the Ctrl scan code first.
#include "driver/driver.h"

// The host is told of Ctrl with the low 16 bits of the tick count (low byte,
// both bytes XORed, high byte), before the key is injected.
void CBrailleSampleDriver::InjectScanCode(uint16_t code) {
    if (code == keyboard::kCtrlScanCode) {
        const DWORD t = platform->TickCount() & 0xFFFF;
        const uint8_t low = static_cast<uint8_t>(t & 0xFF);
        const uint8_t high = static_cast<uint8_t>(t >> 8);
        const unsigned char bytes[3] = {low, static_cast<uint8_t>(low ^ high), high};
        CallOnData(bytes, 3);
    }
    keyboard.InjectScanCode(code);
}
