// Host interface of the braille display driver DLL.
//
// A host loads the DLL, calls GetBrailleInterface and from then on talks to the
// driver only through the slots of IBrailleDriver. The driver reports keys back
// through the host's IBrailleHost.
//
// Binary contract: both interfaces are COM-shaped (pure virtual functions in slot
// order, no overloads, no virtual destructor, no data members, plain integer and
// pointer types), so hosts built with MSVC and with mingw lay them out the same.
// Do not reorder, insert or remove slots.
#ifndef BRAILLEDRIVER_H
#define BRAILLEDRIVER_H

#include <stdint.h>

#ifdef _WIN32
#define BRL_CALL __stdcall
#else
#define BRL_CALL
#endif

#ifdef __cplusplus
struct IBrailleDriver;

// Implemented by the host.
struct IBrailleHost {
    // Slot 0. A display key: name such as "F1", "Routing" or "STATUS1" and its value.
    // Called on the thread that called Initialize, while it dispatches messages.
    virtual int32_t BRL_CALL OnKey(IBrailleDriver* driver, const char* name, int32_t value) = 0;
    // Slot 1. Raw notification bytes (a 3-byte record for scan code 0x14).
    // Called on the driver's worker thread.
    virtual int32_t BRL_CALL OnData(IBrailleDriver* driver, const unsigned char* bytes, int32_t count) = 0;
};

// Implemented by the driver. Results: 1 success, 0 failure or unsupported.
struct IBrailleDriver {
    /* 0 */ virtual int32_t BRL_CALL Initialize(const char* portName, IBrailleHost* host, const char* text1,
                                                const char* text2) = 0;
    /* 1 */ virtual void BRL_CALL Terminate() = 0;
    /* 2 */ virtual IBrailleHost* BRL_CALL SetHost(IBrailleHost* host) = 0;
    /* 3 */ virtual int32_t BRL_CALL GetInitString1(char* buffer, int32_t size) = 0;
    /* 4 */ virtual int32_t BRL_CALL GetInitString2(char* buffer, int32_t size) = 0;
    /* 5 */ virtual int32_t BRL_CALL Unsupported05(intptr_t a, int32_t b) = 0;
    /* 6 */ virtual int32_t BRL_CALL GetDriverCode() = 0;
    /* 7 */ virtual int32_t BRL_CALL Unsupported07() = 0;
    /* 8 */ virtual int32_t BRL_CALL Unsupported08() = 0;
    /* 9 */ virtual int32_t BRL_CALL Unsupported09() = 0;
    /* 10 */ virtual int32_t BRL_CALL Unsupported10(intptr_t a) = 0;
    /* 11 */ virtual int32_t BRL_CALL WriteTextCells(const unsigned char* cells, int32_t count) = 0;
    /* 12 */ virtual int32_t BRL_CALL WriteAllCells(const unsigned char* cells, int32_t count) = 0;
    /* 13 */ virtual int32_t BRL_CALL ClearCells() = 0;
    /* 14 */ virtual int32_t BRL_CALL Unsupported14(intptr_t a, int32_t b) = 0;
    /* 15 */ virtual int32_t BRL_CALL Unsupported15() = 0;
    /* 16 */ virtual int32_t BRL_CALL Suspend(int32_t flag) = 0;
    /* 17 */ virtual void BRL_CALL NoOp17() = 0;
    /* 18 */ virtual int32_t BRL_CALL GetTextCellCount() = 0;
    /* 19 */ virtual int32_t BRL_CALL Unsupported19() = 0;
    /* 20 */ virtual int32_t BRL_CALL GetStatusCellCount() = 0;
    /* 21 */ virtual int32_t BRL_CALL GetTotalCellCount() = 0;
    /* 22 */ virtual int32_t BRL_CALL Unsupported22() = 0;
    /* 23 */ virtual int32_t BRL_CALL Unsupported23(int32_t a, int32_t b, int32_t c) = 0;
    /* 24 */ virtual int32_t BRL_CALL Unsupported24() = 0;
    /* 25 */ virtual int32_t BRL_CALL Unsupported25(int32_t a, unsigned char b) = 0;
    /* 26 */ virtual int32_t BRL_CALL Unsupported26(intptr_t a, int32_t b, int32_t c) = 0;
    /* 27 */ virtual int32_t BRL_CALL Unsupported27(intptr_t a) = 0;
    /* 28 */ virtual int32_t BRL_CALL Unsupported28(int32_t a) = 0;
    /* 29 */ virtual int32_t BRL_CALL Unsupported29() = 0;
    /* 30 */ virtual void BRL_CALL NoOp30(int32_t a) = 0;
    /* 31 */ virtual int32_t BRL_CALL Unsupported31() = 0;
    /* 32 */ virtual void BRL_CALL NoOp32(int32_t a) = 0;
    /* 33 */ virtual int32_t BRL_CALL Unsupported33() = 0;
    // 34. Copies the maker string "KVR" into name (bounded by size) and the driver's
    // 16-byte GUID {D5D2D9E8-4637-4A07-BF46-42543A3CAACC} to id.
    /* 34 */ virtual int32_t BRL_CALL Identify(char* name, int32_t size, void* id) = 0;
};
#else
typedef struct IBrailleDriver IBrailleDriver;
typedef struct IBrailleHost IBrailleHost;
#endif

#ifdef __cplusplus
extern "C" {
#endif
// The DLL's one export: stores the driver object in *out (when out is not null)
// and returns it. Always the same object.
typedef IBrailleDriver*(BRL_CALL* GetBrailleInterfaceFn)(IBrailleDriver** out);
#ifdef BRL_BUILDING_DRIVER
__declspec(dllexport)
#endif
    IBrailleDriver* BRL_CALL GetBrailleInterface(IBrailleDriver** out);
#ifdef __cplusplus
}
#endif

#endif
