// Key events from the worker thread to the host's thread: the worker posts a
// static key name and a value to a hidden window that the host's thread owns;
// its window procedure calls the host's OnKey when the thread dispatches it.
#include <cstring>

#include "driver.h"

namespace {
// A function key's code - 1 is 16 * group + position: groups none, S, L and SL,
// positions F1..F10, LF, UP, RG, DN; the last two positions of a group are unused.
constexpr int kGroupSize = 16;
constexpr int kNamedPerGroup = 14;
const char* const kFunctionKeyNames[BRL_FUNCTION_KEY_COUNT] = BRL_FUNCTION_KEY_NAMES;

const char kRouting[] = BRL_KEY_ROUTING;
const char kRouting2[] = BRL_KEY_ROUTING2;
const char kStatus1[] = BRL_KEY_STATUS1;
const char kStatus2[] = BRL_KEY_STATUS2;
const char kStatus3[] = BRL_KEY_STATUS3;
const char kStatus4[] = BRL_KEY_STATUS4;

// The class's own procedure lives in user32, not in this module: a class that
// outlives the module (a window of it left on a thread that never pumps) then
// points at nothing unmapped. Each key window is subclassed to KeyWindowProc.
WNDPROC SystemWindowProc() {
    static const WNDPROC proc = reinterpret_cast<WNDPROC>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "DefWindowProcA")));
    return proc;
}
}  // namespace

const char* CBrailleSampleDriver::FunctionKeyName(int code) {
    if (code < 1 || code > 4 * kGroupSize) return nullptr;
    const int group = (code - 1) / kGroupSize;
    const int position = (code - 1) % kGroupSize;
    return position < kNamedPerGroup ? kFunctionKeyNames[group * kNamedPerGroup + position] : nullptr;
}

ATOM CBrailleSampleDriver::RegisterKeyWindowClass(HINSTANCE instance) {
    WNDCLASSEXA wc;
    std::memset(&wc, 0, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = SystemWindowProc() ? SystemWindowProc() : &CBrailleSampleDriver::KeyWindowProc;
    wc.hInstance = instance;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = className;
    return RegisterClassExA(&wc);
}

HWND CBrailleSampleDriver::CreateKeyWindow(HINSTANCE instance) {
    HWND window = CreateWindowExA(0, className, nullptr, WS_DISABLED, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr,
                                  nullptr, instance, nullptr);
    if (!window) return nullptr;
    // The window procedure finds its driver object here (tests run several).
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CBrailleSampleDriver::KeyWindowProc));
    RemovePropA(window, "AfxOldWndProc423");
    return window;
}

LRESULT CALLBACK CBrailleSampleDriver::KeyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_KEY_WINDOW_DESTROY) {
        // Sent by a thread that is not the window's: it is destroyed here, on
        // its owner, and the class goes with its last window.
        char name[kClassNameSize] = {};
        GetClassNameA(window, name, sizeof name);
        DestroyWindow(window);
        UnregisterClassA(name, ModuleInstance());
        return 0;
    }
    if (message != WM_BRAILLE_KEY || !IsWindow(window)) return DefWindowProcA(window, message, wParam, lParam);
    auto* self = reinterpret_cast<CBrailleSampleDriver*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self || self->keyWindow != window) return DefWindowProcA(window, message, wParam, lParam);
    // A key of before the last suspension or resume, or one during a suspension, is dropped.
    const auto epoch = static_cast<LONG>(static_cast<uint64_t>(lParam) >> 32);
    if (epoch != self->keyEpoch || self->suspended) return 0;
    IBrailleHost* target = self->EnterCallback(&self->keyCallbackLock);
    const char* name = reinterpret_cast<const char*>(wParam);
    if (target && name && name[0]) target->OnKey(self, name, static_cast<int32_t>(lParam));
    LeaveCriticalSection(&self->keyCallbackLock);
    return 0;
}

void CBrailleSampleDriver::PostKeyEvent(const char* name, int32_t value) {
    HWND window = keyWindow;
    // With no key window the key is dropped (a post to no window would land in
    // the worker's own queue and be lost there anyway).
    if (!window) return;
    // The value's low 32 bits and, above them, the suspension epoch it was read in.
    const uint64_t packed =
        (static_cast<uint64_t>(static_cast<uint32_t>(keyEpoch)) << 32) | static_cast<uint32_t>(value);
    PostMessageA(window, WM_BRAILLE_KEY, reinterpret_cast<WPARAM>(name), static_cast<LPARAM>(packed));
}

// Takes the key window (once: of two callers one gets it) and closes it.
void CBrailleSampleDriver::DestroyKeyWindow() {
    keyWindowThread = 0;
    CloseKeyWindow(
        static_cast<HWND>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&keyWindow), nullptr)));
}

// Destroys a key window on the thread that owns it, whichever thread asks.
// An owner that has ended took the window with it; an owner that does not
// answer within the bound gets a window that no longer calls into this module
// and closes itself when its owner next pumps, so the window never outlives
// the code it runs.
void CBrailleSampleDriver::CloseKeyWindow(HWND window) {
    if (window && IsWindow(window)) {
        DWORD_PTR answer = 0;
        if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
            DestroyWindow(window);
        } else if (!SendMessageTimeoutA(window, WM_KEY_WINDOW_DESTROY, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG, 1000,
                                        &answer) &&
                   IsWindow(window) && SystemWindowProc()) {
            SetWindowLongPtrA(window, GWLP_USERDATA, 0);
            SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SystemWindowProc()));
            PostMessageA(window, WM_CLOSE, 0, 0);
        }
    }
    // Fails while a window of the class remains; the last one to go takes it.
    UnregisterClassA(className, ModuleInstance());
}

// OnData on the worker thread, held against SetHost and Terminate.
void CBrailleSampleDriver::CallOnData(const unsigned char* bytes, int32_t count) {
    IBrailleHost* target = EnterCallback(&dataCallbackLock);
    if (target) target->OnData(this, bytes, count);
    LeaveCriticalSection(&dataCallbackLock);
}

void CBrailleSampleDriver::DeliverFunctionKey(uint8_t code) {
    if (code > 64) return;
    if (code == 63) alternateRouting = 1;
    if (code == 64) alternateRouting = 0;
    if (!host) return;
    const char* name = FunctionKeyName(code);  // code 0 lies outside the table
    if (!name) return;
    PostKeyEvent(name, 0);
}

void CBrailleSampleDriver::DeliverRoutingKey(uint8_t code) {
    if (!host) return;
    const char* name;
    int32_t value = 0;
    if (code < 0x80) {
        if (code == 1)
            name = alternateRouting ? kStatus3 : kStatus1;
        else if (code == 2)
            name = alternateRouting ? kStatus4 : kStatus2;
        else {
            name = alternateRouting ? kRouting2 : kRouting;
            value = static_cast<int32_t>(code) - 2;
        }
    } else {
        int c = code & 0x7F;
        if (c == 1)
            name = kStatus3;
        else if (c == 2)
            name = kStatus4;
        else {
            name = kRouting2;
            value = c - 2;
        }
    }
    PostKeyEvent(name, value);
}

void CBrailleSampleDriver::DeliverHidRoutingKey(uint8_t code) {
    if (!host) return;
    if (code >= 0x80) return;
    PostKeyEvent(alternateRouting ? kRouting2 : kRouting, code);
}
