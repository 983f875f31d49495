// Shared-memory port handover: another program on this machine borrows the
// serial port and gives it back through the first word of a named section that
// it creates. Every tick the driver publishes its port number there, answers a
// lend request once it has closed its port, and on a restore value takes the
// port back and lets go of the section.
//
// Word values: 101 lend request (other program), 102 lend answer (driver),
// 200 + x restore (other program; the driver writes x back), anything else
// below 200 is the driver's port number.
//
// This object keeps the section, the word protocol and whether the port is
// lent; what the link does about it is the driver's business.
#ifndef BRL_HANDOVER_H
#define BRL_HANDOVER_H

#include <windows.h>

#include <stdint.h>

#include "platform/handle.h"

class CHandover {
public:
    enum class Request {
        None,
        Lend,       // the port is lent from now on: close it, then AnswerLend
        GivenBack,  // a restore was answered: a link that lent its port takes it back
    };

    CHandover() = default;
    ~CHandover() { Release(); }
    CHandover(const CHandover&) = delete;
    CHandover& operator=(const CHandover&) = delete;

    // One tick: attach to the section (its word is first looked at on the
    // next tick), then take a restore, a lend request, or publish portNumber.
    Request Service(int32_t portNumber);
    // After a Lend, once the port is closed: the display's version values,
    // then the answer the other program waits for.
    void AnswerLend(const uint8_t version[2]);
    // A stopped driver reads no restore, so a lend can outlast the run that
    // made it: a new start calls this first, and a port given back meanwhile
    // is taken back (the restore answered) before the start opens anything.
    void TakeBackGivenWhileStopped();
    // The other program has the serial port: it is not to be opened.
    bool Lent() const { return lent; }

private:
    // A mapped view of the section, unmapped once.
    class CView {
    public:
        CView() = default;
        ~CView() { Reset(); }
        CView(const CView&) = delete;
        CView& operator=(const CView&) = delete;
        void Reset(void* address = nullptr) {
            if (view) UnmapViewOfFile(view);
            view = address;
        }
        // The section is written by another process at any time: every access
        // goes through a volatile word so that each read and write happens.
        volatile LONG* Word(size_t index) const { return static_cast<volatile LONG*>(view) + index; }
        explicit operator bool() const { return view != nullptr; }
        bool Usable() const;

    private:
        void* view = nullptr;
    };

    bool Attach();
    bool TakeRestore(LONG w);
    void Release();

    CHandle mapping;
    CView view;
    bool lent = false;
};

#endif
