// The keyboard's translation, apart from the platform: the display's character
// codes and scan codes become the key presses and releases that Windows'
// keystroke synthesis is given. It needs no system call, so it builds and runs
// anywhere (a native fuzzer included); keyboard.h hands its answer to Windows.
#ifndef BRL_KEYBOARD_TRANSLATION_H
#define BRL_KEYBOARD_TRANSLATION_H

#include <stddef.h>
#include <stdint.h>

namespace keyboard {

// Key value bits above the virtual key in the low byte, as VkKeyScanExW reports them.
constexpr uint16_t kShiftBit = 0x100;
constexpr uint16_t kCtrlBit = 0x200;
constexpr uint16_t kAltBit = 0x400;

// The virtual keys the translation presses itself (Windows' values).
constexpr uint8_t kVkShift = 0x10;
constexpr uint8_t kVkControl = 0x11;
constexpr uint8_t kVkMenu = 0x12;
constexpr uint8_t kVkCapital = 0x14;

// Scan-code set 2: the prefixes of an extended key and of a release, and the
// code of Ctrl (the host hears of Ctrl before it is injected).
constexpr uint16_t kExtendedPrefix = 0xE0;
constexpr uint16_t kBreakPrefix = 0xF0;
constexpr uint16_t kCtrlScanCode = 0x14;

// The display's character (code page 437) in UTF-16; below 0x80 it is ASCII.
uint16_t Cp437ToUnicode(uint8_t code);

// The key value (virtual key | kShiftBit / kCtrlBit / kAltBit) of a display
// code from 256 up that stands for a key; false for a code with no keystroke.
bool SpecialKeyValue(uint16_t code, uint16_t* keyValue);

// One press or release of a virtual key.
struct KeyEvent {
    uint8_t vk;
    bool up;
    bool extended;  // sent as the E0 key a real keyboard sends
};
// Caps Lock off (2), three modifiers, the key (2), three modifiers, Caps Lock on (2).
constexpr size_t kMaxKeyEvents = 12;
struct KeyEvents {
    KeyEvent keys[kMaxKeyEvents];
    size_t count;
};

// The presses and releases that type one key value, in order. With capsLock
// (Caps Lock is on) Caps Lock is switched off around the key.
KeyEvents KeysFor(uint16_t keyValue, bool capsLock);

// Set-2 code (without prefixes) to the set-1 make code of the same key; 0
// where no key of a 104-key keyboard has that code.
uint8_t Set1MakeCode(uint8_t set2);

// One scan-code key: the set-1 make code with the flags its prefixes gave.
struct ScanKey {
    uint8_t make;
    bool extended;
    bool up;
};

// Collects the prefixes of scan-code set 2 until the code they belong to.
class CScanCodes {
public:
    // False for a prefix and for codes from E0 up (they inject nothing; the
    // prefixes collected stay for the next code); else the key, after which
    // the prefixes start afresh.
    bool Take(uint16_t code, ScanKey* key);

private:
    bool extended = false;
    bool release = false;
};

}  // namespace keyboard

#endif
