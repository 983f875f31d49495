// Keystroke emulation: characters, special keys and raw scan codes typed on
// the display's keyboard are replayed into Windows' input stream, where they
// reach whatever window has the focus. Runs on the worker thread only.
#include "driver/driver.h"
#include "keyboard/keyboard_tables.h"

namespace {
constexpr uint16_t kNoKey = 0xFFFF;  // VkKeyScanExW: the layout has no key for the character
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
    // The layout of the window the user types into, not the worker's own:
    // the two differ once the user switches layouts in that window.
    const DWORD foreground = platform->ForegroundThread();
    HKL layout = platform->GetKeyboardLayout(foreground);
    if (!layout) layout = platform->GetKeyboardLayout(0);

    uint16_t keyValue = 0;
    bool capsLock = false;
    if (code < 0x100) {
        // The display speaks code page 437. Asked in UTF-16, the layout answers
        // the same on every system, whatever its ANSI code page.
        const WCHAR character = code >= 0x80 ? keyboard::kCp437ToUnicode[code - 0x80] : static_cast<WCHAR>(code);
        keyValue = static_cast<uint16_t>(platform->VkKeyScanExW(character, layout));
        if (keyValue == kNoKey) return;
        // The layout's answer holds with Caps Lock off. With it on, Caps Lock is
        // switched off around the character, so that a letter comes out as the
        // display sent it on every layout (the keys Caps Lock acts on differ).
        capsLock = (platform->GetKeyState(foreground, VK_CAPITAL) & 1) != 0;
    } else if (!keyboard::SpecialKeyValue(code, &keyValue)) {
        return;
    }

    const bool shift = (keyValue & keyboard::kShiftBit) != 0;
    const bool ctrl = (keyValue & keyboard::kCtrlBit) != 0;
    const bool alt = (keyValue & keyboard::kAltBit) != 0;
    const BYTE key = static_cast<BYTE>(keyValue & 0xFF);

    // One array for the whole character: SendInput inserts it without the
    // user's own typing in between, which could otherwise meet our Shift.
    INPUT inputs[12] = {};
    UINT count = 0;
    auto add = [&](BYTE vk, DWORD flags) {
        INPUT& input = inputs[count++];
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = vk;
        // Every key carries its scan code, as a real keyboard's do: some
        // applications read the scan code rather than the virtual key.
        input.ki.wScan = static_cast<WORD>(platform->MapVirtualKeyExW(vk, MAPVK_VK_TO_VSC, layout) & 0xFF);
        input.ki.dwFlags = flags;
    };
    const DWORD extended = IsNavigationKey(key) ? KEYEVENTF_EXTENDEDKEY : 0;
    auto toggleCapsLock = [&] {
        add(VK_CAPITAL, 0);
        add(VK_CAPITAL, KEYEVENTF_KEYUP);
    };
    if (capsLock) toggleCapsLock();
    if (shift) add(VK_SHIFT, 0);
    if (ctrl) add(VK_CONTROL, 0);
    if (alt) add(VK_MENU, 0);
    add(key, extended);
    add(key, extended | KEYEVENTF_KEYUP);
    // Modifiers are released in the order pressed (Shift, Ctrl, Alt), not reversed.
    if (shift) add(VK_SHIFT, KEYEVENTF_KEYUP);
    if (ctrl) add(VK_CONTROL, KEYEVENTF_KEYUP);
    if (alt) add(VK_MENU, KEYEVENTF_KEYUP);
    if (capsLock) toggleCapsLock();
    platform->SendInputs(count, inputs, sizeof(INPUT));
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
