// Tables of the keyboard emulation: the display's character codes and PS/2
// scan codes, mapped to what Windows' keystroke synthesis expects.
#ifndef BRL_KEYBOARD_TABLES_H
#define BRL_KEYBOARD_TABLES_H

#include <stddef.h>
#include <stdint.h>

namespace keyboard {

// Key value bits above the virtual key in the low byte, as VkKeyScanExW reports them.
constexpr uint16_t kShiftBit = 0x100;
constexpr uint16_t kCtrlBit = 0x200;
constexpr uint16_t kAltBit = 0x400;

// The display's characters 0x80..0xFF (code page 437, index code - 0x80) in
// UTF-16; below 0x80 code page 437 is ASCII.
extern const uint16_t kCp437ToUnicode[128];

// Display codes from 256 up that stand for a key rather than a character.
struct SpecialKey {
    uint16_t code;
    uint16_t keyValue;  // virtual key | kShiftBit / kCtrlBit / kAltBit
};
constexpr size_t kSpecialKeyCount = 17;
extern const SpecialKey kSpecialKeys[kSpecialKeyCount];

// The key value of a special code; false for a code that has no keystroke.
bool SpecialKeyValue(uint16_t code, uint16_t* keyValue);

// Scan-code set 2 (without prefixes) to the set-1 break code of the same key;
// 0 where no key of a 102-key keyboard has that code.
extern const uint16_t kSet2ToSet1[256];

}  // namespace keyboard

#endif
