// The keyboard's translation: display codes and scan codes into key presses.
// The input is a run of 16-bit codes, each with a Caps Lock state.
#include <fuzzer/FuzzedDataProvider.h>

#include "frame_stream.h"
#include "keyboard/translation.h"

using fuzzkit::Require;
using namespace keyboard;

namespace {

// Typing a key value leaves no key held and Caps Lock as it was, and the key
// goes down with exactly its modifiers held and Caps Lock off.
void CheckTyping(uint16_t keyValue, bool capsLock) {
    const KeyEvents events = KeysFor(keyValue, capsLock);
    Require(events.count <= kMaxKeyEvents, "the presses fit their array");
    const uint8_t key = static_cast<uint8_t>(keyValue & 0xFF);
    const bool plainKey = key != kVkShift && key != kVkControl && key != kVkMenu && key != kVkCapital;
    int held[256] = {};
    bool capsOn = capsLock;
    int keyPresses = 0;
    for (size_t i = 0; i < events.count; ++i) {
        const KeyEvent& e = events.keys[i];
        if (e.up) {
            Require(held[e.vk] > 0, "a key is released only while held");
            --held[e.vk];
            continue;
        }
        ++held[e.vk];
        if (e.vk == kVkCapital) capsOn = !capsOn;
        if (e.vk != key || !plainKey) continue;
        ++keyPresses;
        Require(!capsOn && (held[kVkShift] > 0) == ((keyValue & kShiftBit) != 0) &&
                    (held[kVkControl] > 0) == ((keyValue & kCtrlBit) != 0) &&
                    (held[kVkMenu] > 0) == ((keyValue & kAltBit) != 0),
                "the key goes down with its modifiers held and Caps Lock off");
    }
    for (int count : held) Require(count == 0, "no key stays held");
    Require(!plainKey || (keyPresses == 1 && capsOn == capsLock), "the key is pressed once, Caps Lock left as it was");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    CScanCodes scan;
    bool extended = false, release = false;  // prefixes since the last key
    while (in.remaining_bytes() > 0) {
        const uint16_t code = in.ConsumeIntegral<uint16_t>();
        const bool capsLock = in.ConsumeBool();
        CheckTyping(code, capsLock);
        uint16_t keyValue = 0;
        if (SpecialKeyValue(code, &keyValue)) {
            Require(code >= 256 && (keyValue & 0xFF) != 0, "a special key is a code from 256 up with a key");
            CheckTyping(keyValue, capsLock);
        }
        const uint8_t low = static_cast<uint8_t>(code);
        Require((Cp437ToUnicode(low) < 0x80) == (low < 0x80), "only ASCII maps to ASCII");

        ScanKey key{};
        const bool taken = scan.Take(code, &key);
        Require(taken == (code < kExtendedPrefix), "every code below E0 is a key, none above");
        if (taken) {
            Require(key.make == Set1MakeCode(low) && key.make < 0x80 && key.extended == extended && key.up == release,
                    "a key carries the prefixes before it, and a make code");
            extended = release = false;
        }
        extended = extended || code == kExtendedPrefix;
        release = release || code == kBreakPrefix;
    }
    return 0;
}
