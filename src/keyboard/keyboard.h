// Keystroke emulation: characters, special keys and raw scan codes typed on
// the display's keyboard are replayed into Windows' input stream, where they
// reach whatever window has the focus. The translation is in translation.h;
// this is its way into Windows, through the platform seam. Used from the
// worker thread only.
#ifndef BRL_KEYBOARD_H
#define BRL_KEYBOARD_H

#include <stdint.h>

#include "keyboard/translation.h"
#include "platform/platform.h"

class CKeyboard {
public:
    explicit CKeyboard(IPlatform& platform) : platform(platform) {}

    // A display character (below 256, code page 437) in the layout of the
    // window typed into, or a special code (256 up) as its key; codes with no
    // key type nothing.
    void TypeCharacter(uint16_t code);
    // A scan code of set 2; prefixes are collected for the code that follows.
    void InjectScanCode(uint16_t code);

private:
    IPlatform& platform;
    keyboard::CScanCodes scanCodes;
};

#endif
