#include "keyboard/keyboard.h"

namespace {
constexpr uint16_t kNoKey = 0xFFFF;  // VkKeyScanExW: the layout has no key for the character

static_assert(keyboard::kVkShift == VK_SHIFT && keyboard::kVkControl == VK_CONTROL && keyboard::kVkMenu == VK_MENU &&
                  keyboard::kVkCapital == VK_CAPITAL,
              "the translation's virtual keys are Windows' own");
}  // namespace

void CKeyboard::TypeCharacter(uint16_t code) {
    // The layout of the window the user types into, not the worker's own:
    // the two differ once the user switches layouts in that window.
    const DWORD foreground = platform.ForegroundThread();
    HKL layout = platform.GetKeyboardLayout(foreground);
    if (!layout) layout = platform.GetKeyboardLayout(0);

    uint16_t keyValue = 0;
    bool capsLock = false;
    if (code < 0x100) {
        // Asked in UTF-16, the layout answers the same on every system,
        // whatever its ANSI code page.
        const WCHAR character = keyboard::Cp437ToUnicode(static_cast<uint8_t>(code));
        keyValue = static_cast<uint16_t>(platform.VkKeyScanExW(character, layout));
        if (keyValue == kNoKey) return;
        // The layout's answer holds with Caps Lock off. With it on, Caps Lock is
        // switched off around the character, so that a letter comes out as the
        // display sent it on every layout (the keys Caps Lock acts on differ).
        capsLock = (platform.GetKeyState(foreground, VK_CAPITAL) & 1) != 0;
    } else if (!keyboard::SpecialKeyValue(code, &keyValue)) {
        return;
    }

    // One array for the whole character: SendInput inserts it without the
    // user's own typing in between, which could otherwise meet our Shift.
    const keyboard::KeyEvents keys = keyboard::KeysFor(keyValue, capsLock);
    INPUT inputs[keyboard::kMaxKeyEvents] = {};
    for (size_t i = 0; i < keys.count; ++i) {
        const keyboard::KeyEvent& key = keys.keys[i];
        KEYBDINPUT& ki = inputs[i].ki;
        inputs[i].type = INPUT_KEYBOARD;
        ki.wVk = key.vk;
        // Every key carries its scan code, as a real keyboard's do: some
        // applications read the scan code rather than the virtual key.
        ki.wScan = static_cast<WORD>(platform.MapVirtualKeyExW(key.vk, MAPVK_VK_TO_VSC, layout) & 0xFF);
        ki.dwFlags = (key.up ? KEYEVENTF_KEYUP : 0) | (key.extended ? KEYEVENTF_EXTENDEDKEY : 0);
    }
    platform.SendInputs(static_cast<UINT>(keys.count), inputs, sizeof(INPUT));
}

void CKeyboard::InjectScanCode(uint16_t code) {
    keyboard::ScanKey key;
    if (!scanCodes.Take(code, &key)) return;
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    // Press and release both carry the set-1 make code; the key-up flag alone
    // marks the release, as Windows reports it.
    input.ki.wScan = key.make;
    input.ki.dwFlags = KEYEVENTF_SCANCODE | (key.extended ? KEYEVENTF_EXTENDEDKEY : 0) | (key.up ? KEYEVENTF_KEYUP : 0);
    platform.SendInputs(1, &input, sizeof(INPUT));
}
