// Keystroke emulation: characters, special keys and raw scan codes typed on
// the display's keyboard are replayed into Windows' input stream, where they
// reach whatever window has the focus. Runs on the worker thread only.
#include "driver/driver.h"
#include "keyboard/keyboard_tables.h"

namespace {
constexpr uint16_t kNoKey = 0xFFFF;  // VkKeyScanA: the layout has no key for the character
constexpr uint16_t kExtendedPrefix = 0xE0;
constexpr uint16_t kBreakPrefix = 0xF0;
constexpr uint16_t kCtrlScanCode = 0x14;  // Ctrl: reported to the host before it is injected

// Keys that a real keyboard reports as extended (E0) keys: without the flag,
// Windows and applications take them for the number pad's keys.
bool IsNavigationKey(BYTE vk) {
    switch (vk) {
    case VK_UP:
    case VK_DOWN:
    case VK_LEFT:
    case VK_RIGHT:
    case VK_HOME:
    case VK_END:
    case VK_PRIOR:
    case VK_NEXT:
    case VK_INSERT:
    case VK_DELETE:
        return true;
    default:
        return false;
    }
}
}  // namespace

void CBrailleSampleDriver::TypeCharacter(uint16_t code) {
    uint16_t keyValue = 0;
    if (code < 0x100) {
        // Characters of code page 437 go to VkKeyScanA as the 1252 byte of the same character.
        uint8_t character = code >= 0x80 ? keyboard::kCp437To1252[code - 0x80] : static_cast<uint8_t>(code);
        // The layout of the window the user types into, not the worker's own:
        // the two differ once the user switches layouts in that window.
        HKL layout = platform->GetKeyboardLayout(platform->ForegroundThread());
        if (!layout) layout = platform->GetKeyboardLayout(0);
        keyValue = static_cast<uint16_t>(platform->VkKeyScanExA(static_cast<CHAR>(character), layout));
        if (keyValue == kNoKey) return;
    } else if (!keyboard::SpecialKeyValue(code, &keyValue)) {
        return;
    }

    const bool shift = (keyValue & keyboard::kShiftBit) != 0;
    const bool ctrl = (keyValue & keyboard::kCtrlBit) != 0;
    const bool alt = (keyValue & keyboard::kAltBit) != 0;
    const BYTE key = static_cast<BYTE>(keyValue & 0xFF);

    if (shift) platform->KeybdEvent(VK_SHIFT, 0, 0, 0);
    if (ctrl) platform->KeybdEvent(VK_CONTROL, 0, 0, 0);
    if (alt) platform->KeybdEvent(VK_MENU, 0, 0, 0);
    BYTE scan = 0;
    DWORD extended = 0;
    if (IsNavigationKey(key)) {
        scan = static_cast<BYTE>(platform->MapVirtualKeyA(key, MAPVK_VK_TO_VSC));
        extended = KEYEVENTF_EXTENDEDKEY;
    }
    platform->KeybdEvent(key, scan, extended, 0);
    platform->KeybdEvent(key, scan, extended | KEYEVENTF_KEYUP, 0);
    // Modifiers are released in the order pressed (Shift, Ctrl, Alt), not reversed.
    if (shift) platform->KeybdEvent(VK_SHIFT, 0, KEYEVENTF_KEYUP, 0);
    if (ctrl) platform->KeybdEvent(VK_CONTROL, 0, KEYEVENTF_KEYUP, 0);
    if (alt) platform->KeybdEvent(VK_MENU, 0, KEYEVENTF_KEYUP, 0);
}

void CBrailleSampleDriver::InjectScanCode(uint16_t code) {
    if (code == kExtendedPrefix) scanFlags |= KEYEVENTF_EXTENDEDKEY;
    if (code == kBreakPrefix) scanFlags |= KEYEVENTF_KEYUP;
    // Prefixes, 0xE1 and out-of-range values inject nothing; collected prefixes
    // stay for the next code.
    if (code >= kExtendedPrefix) return;

    if (code == kCtrlScanCode) {
        const DWORD t = platform->TickCount() & 0xFFFF;
        const uint8_t low = static_cast<uint8_t>(t & 0xFF);
        const uint8_t high = static_cast<uint8_t>(t >> 8);
        const unsigned char bytes[3] = {low, static_cast<uint8_t>(low ^ high), high};
        CallOnData(bytes, 3);
    }

    const uint16_t entry = keyboard::kSet2ToSet1[code];
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = 0;
    // Press and release both carry the set-1 make code; the key-up flag alone
    // marks the release, as Windows reports it. A code with bit 7 set names no
    // key on Windows, so a release sent that way would leave the key held.
    input.ki.wScan = static_cast<WORD>(entry & 0x7F);
    input.ki.dwFlags = scanFlags | KEYEVENTF_SCANCODE;
    input.ki.time = 0;
    input.ki.dwExtraInfo = 0;
    platform->SendInputs(1, &input, sizeof(INPUT));
    scanFlags = 0;
}
