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

// Calling contract.
// - Waiting calls: Initialize, Suspend (when the flag changes) and Terminate
//   wait for the worker thread; each returns when its own work is done, or
//   within its bound (Initialize and Suspend 30 s, Terminate about 8 s).
//   SetHost waits for a callback in progress (see below). While any of them
//   waits it serves messages that other threads send the calling thread, so a
//   host that hands OnData's work to its own thread with SendMessage is
//   answered, not deadlocked; posted messages (keys included) and WM_QUIT stay
//   in the queue for the host's own loop. All other calls never wait: a cell
//   write copies the cells, makes at most one post and returns; writes the
//   worker has not taken yet are combined, and only the newest image is sent.
//   Only a host that has 1024 writes not yet taken by the worker is held
//   back, for at most 20 ms a write, until the worker has caught up.
// - Results: Initialize returns 1 only when its own worker runs and was not
//   stopped meanwhile. Suspend returns 1 when the suspension or resume was
//   carried out (or the flag is already as asked), 0 when it was not (no
//   worker, or the worker ended first, or its bound passed); the flag changes
//   only when the command could be posted.
// - Threads: OnKey arrives on the thread that called Initialize (the owner of
//   the key window), when that thread dispatches its messages. OnData arrives
//   on the driver's worker thread.
// - One thread is expected: the host makes its calls from the thread that
//   called Initialize, and that thread pumps messages. Calls from other threads
//   are safe: Initialize and Terminate are ordered against each other (two at
//   once stop or start the driver once), the key window stays on its owner,
//   Terminate destroys it there (or, when the owner does not answer within 1 s,
//   leaves it inert to close at the owner's next pump), and every call keeps
//   its bound. Suspend neither destroys nor moves the key window; keys of
//   before a suspension are dropped.
// - Inside OnKey, and inside a message sent to a thread that waits in a call,
//   the host may call anything, Terminate included; an Initialize made there
//   while the same thread's Initialize is starting returns 0.
// - Inside OnData (worker thread): Suspend and Terminate return at once and are
//   carried out when the current command or poll has finished (Suspend returns
//   1, or 0 once a Terminate is pending); Initialize returns 0; SetHost swaps
//   the host at once; the writes and queries work as anywhere.
// - Withdrawn hosts: after Terminate returns, and after a failed Initialize, no
//   callback reaches the old host. After SetHost returns (on any thread but
//   the worker) no callback to the old host is running or can start; SetHost
//   waits for a callback in progress to return.
// - Unload: call Terminate before FreeLibrary. A host that does not still
//   unloads safely: the worker holds a reference on the module while it runs,
//   so the code stays mapped (and the driver keeps running) until the process
//   ends or the host loads the DLL again and calls Terminate. After a Terminate
//   made inside OnData the host may unload at once: the key window is closed
//   (or left with the system's own procedure) before the worker lets the
//   module go.
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
/* C binding, laid out as COM's C bindings are: each interface is a pointer to
   a table of function pointers in slot order, named as the C++ methods, each
   taking the object itself (This) first. Call a slot as
   driver->lpVtbl->GetDriverCode(driver). */
typedef struct IBrailleDriver IBrailleDriver;
typedef struct IBrailleHost IBrailleHost;

/* Implemented by the host: fill a table once and point lpVtbl at it. */
typedef struct IBrailleHostVtbl {
    /* 0 */ int32_t(BRL_CALL* OnKey)(IBrailleHost* This, IBrailleDriver* driver, const char* name, int32_t value);
    /* 1 */ int32_t(BRL_CALL* OnData)(IBrailleHost* This, IBrailleDriver* driver, const unsigned char* bytes,
                                      int32_t count);
} IBrailleHostVtbl;
struct IBrailleHost {
    const IBrailleHostVtbl* lpVtbl;
};

typedef struct IBrailleDriverVtbl {
    /* 0 */ int32_t(BRL_CALL* Initialize)(IBrailleDriver* This, const char* portName, IBrailleHost* host,
                                          const char* text1, const char* text2);
    /* 1 */ void(BRL_CALL* Terminate)(IBrailleDriver* This);
    /* 2 */ IBrailleHost*(BRL_CALL* SetHost)(IBrailleDriver* This, IBrailleHost* host);
    /* 3 */ int32_t(BRL_CALL* GetInitString1)(IBrailleDriver* This, char* buffer, int32_t size);
    /* 4 */ int32_t(BRL_CALL* GetInitString2)(IBrailleDriver* This, char* buffer, int32_t size);
    /* 5 */ int32_t(BRL_CALL* Unsupported05)(IBrailleDriver* This, intptr_t a, int32_t b);
    /* 6 */ int32_t(BRL_CALL* GetDriverCode)(IBrailleDriver* This);
    /* 7 */ int32_t(BRL_CALL* Unsupported07)(IBrailleDriver* This);
    /* 8 */ int32_t(BRL_CALL* Unsupported08)(IBrailleDriver* This);
    /* 9 */ int32_t(BRL_CALL* Unsupported09)(IBrailleDriver* This);
    /* 10 */ int32_t(BRL_CALL* Unsupported10)(IBrailleDriver* This, intptr_t a);
    /* 11 */ int32_t(BRL_CALL* WriteTextCells)(IBrailleDriver* This, const unsigned char* cells, int32_t count);
    /* 12 */ int32_t(BRL_CALL* WriteAllCells)(IBrailleDriver* This, const unsigned char* cells, int32_t count);
    /* 13 */ int32_t(BRL_CALL* ClearCells)(IBrailleDriver* This);
    /* 14 */ int32_t(BRL_CALL* Unsupported14)(IBrailleDriver* This, intptr_t a, int32_t b);
    /* 15 */ int32_t(BRL_CALL* Unsupported15)(IBrailleDriver* This);
    /* 16 */ int32_t(BRL_CALL* Suspend)(IBrailleDriver* This, int32_t flag);
    /* 17 */ void(BRL_CALL* NoOp17)(IBrailleDriver* This);
    /* 18 */ int32_t(BRL_CALL* GetTextCellCount)(IBrailleDriver* This);
    /* 19 */ int32_t(BRL_CALL* Unsupported19)(IBrailleDriver* This);
    /* 20 */ int32_t(BRL_CALL* GetStatusCellCount)(IBrailleDriver* This);
    /* 21 */ int32_t(BRL_CALL* GetTotalCellCount)(IBrailleDriver* This);
    /* 22 */ int32_t(BRL_CALL* Unsupported22)(IBrailleDriver* This);
    /* 23 */ int32_t(BRL_CALL* Unsupported23)(IBrailleDriver* This, int32_t a, int32_t b, int32_t c);
    /* 24 */ int32_t(BRL_CALL* Unsupported24)(IBrailleDriver* This);
    /* 25 */ int32_t(BRL_CALL* Unsupported25)(IBrailleDriver* This, int32_t a, unsigned char b);
    /* 26 */ int32_t(BRL_CALL* Unsupported26)(IBrailleDriver* This, intptr_t a, int32_t b, int32_t c);
    /* 27 */ int32_t(BRL_CALL* Unsupported27)(IBrailleDriver* This, intptr_t a);
    /* 28 */ int32_t(BRL_CALL* Unsupported28)(IBrailleDriver* This, int32_t a);
    /* 29 */ int32_t(BRL_CALL* Unsupported29)(IBrailleDriver* This);
    /* 30 */ void(BRL_CALL* NoOp30)(IBrailleDriver* This, int32_t a);
    /* 31 */ int32_t(BRL_CALL* Unsupported31)(IBrailleDriver* This);
    /* 32 */ void(BRL_CALL* NoOp32)(IBrailleDriver* This, int32_t a);
    /* 33 */ int32_t(BRL_CALL* Unsupported33)(IBrailleDriver* This);
    /* 34 */ int32_t(BRL_CALL* Identify)(IBrailleDriver* This, char* name, int32_t size, void* id);
} IBrailleDriverVtbl;
struct IBrailleDriver {
    const IBrailleDriverVtbl* lpVtbl;
};

/* The tables must keep exactly 35 and 2 slots; a slot added or lost here fails
   the compilation (array of negative size). */
typedef char BrlDriverVtblHas35Slots[sizeof(IBrailleDriverVtbl) == 35 * sizeof(void (*)(void)) ? 1 : -1];
typedef char BrlHostVtblHas2Slots[sizeof(IBrailleHostVtbl) == 2 * sizeof(void (*)(void)) ? 1 : -1];
#endif

/* What the driver reports about itself, and the key names it sends, for hosts
   in C and C++ to compare against. */
/* clang-format off */
#define BRL_DRIVER_CODE 768 /* GetDriverCode */
#define BRL_MAKER "KVR"     /* the name Identify writes */
/* The driver's GUID, written by Identify: as text, as an initializer of a
   Windows GUID (static const GUID id = BRL_DRIVER_GUID_INIT;) and as the 16
   bytes Identify writes (unsigned char id[16] = BRL_DRIVER_GUID_BYTES;). */
#define BRL_DRIVER_GUID_TEXT "{D5D2D9E8-4637-4A07-BF46-42543A3CAACC}"
#define BRL_DRIVER_GUID_INIT {0xD5D2D9E8, 0x4637, 0x4A07, {0xBF, 0x46, 0x42, 0x54, 0x3A, 0x3C, 0xAA, 0xCC}}
#define BRL_DRIVER_GUID_BYTES \
    {0xE8, 0xD9, 0xD2, 0xD5, 0x37, 0x46, 0x07, 0x4A, 0xBF, 0x46, 0x42, 0x54, 0x3A, 0x3C, 0xAA, 0xCC}

/* Key names OnKey receives. Routing keys carry the cell's number (the README
   gives the numbering of each link); in the display's alternate routing mode
   they come as Routing2 and the status keys as STATUS3 and STATUS4. Status
   keys carry 0. */
#define BRL_KEY_ROUTING "Routing"
#define BRL_KEY_ROUTING2 "Routing2"
#define BRL_KEY_STATUS1 "STATUS1"
#define BRL_KEY_STATUS2 "STATUS2"
#define BRL_KEY_STATUS3 "STATUS3"
#define BRL_KEY_STATUS4 "STATUS4"
/* The 56 function key names (value 0): F1-F10, LF, UP, RG, DN, then the same
   with the prefixes S, L and SL. For a table:
   static const char* const names[BRL_FUNCTION_KEY_COUNT] = BRL_FUNCTION_KEY_NAMES; */
#define BRL_FUNCTION_KEY_COUNT 56
#define BRL_FUNCTION_KEY_NAMES \
    {"F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8", "F9", "F10", "LF", "UP", "RG", "DN", \
     "SF1", "SF2", "SF3", "SF4", "SF5", "SF6", "SF7", "SF8", "SF9", "SF10", "SLF", "SUP", "SRG", "SDN", \
     "LF1", "LF2", "LF3", "LF4", "LF5", "LF6", "LF7", "LF8", "LF9", "LF10", "LLF", "LUP", "LRG", "LDN", \
     "SLF1", "SLF2", "SLF3", "SLF4", "SLF5", "SLF6", "SLF7", "SLF8", "SLF9", "SLF10", "SLLF", "SLUP", "SLRG", "SLDN"}
/* clang-format on */

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
