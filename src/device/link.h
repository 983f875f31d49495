// A link to the display over one transport. The driver owns one link per
// transport (USB first, then the serial port) and makes the one that found the
// display its active link; everything that differs between the transports
// lives behind this interface. A link runs on the worker thread only.
//
// A link keeps its own acknowledgement state: a display frame sent waits for
// the display's acknowledgement, and frames written meanwhile are held (only
// the newest is ever sent), released by Poll once the display has answered.
#ifndef BRL_LINK_H
#define BRL_LINK_H

#include <windows.h>
#include <stdint.h>

// What a link reports to its owner, on the worker thread, as it reads the display.
class ILinkEvents {
public:
    virtual void OnFunctionKey(uint8_t code) = 0;  // 1..64
    virtual void OnRoutingKey(uint8_t code) = 0;   // serial: 1, 2 status keys, 3.. cells; bit 7 the second row
    virtual void OnCellKey(uint8_t cell) = 0;      // USB: a routing key by cell number, row as chosen by F63/F64
    virtual void OnCharacter(uint16_t code) = 0;   // a character (code page 437) or a special key
    virtual void OnScanCode(uint16_t code) = 0;    // a PS/2 set-2 scan code or prefix
    // The link found the display gone (a failed read or write, acknowledgements
    // lost for good) and has closed itself; the owner starts the search.
    virtual void OnLost() = 0;
    // The newest cell image (kFrameCells cells, the display's dot order), for a
    // link that shows it again by itself.
    virtual const uint8_t* CellImage() = 0;

protected:
    ~ILinkEvents() = default;
};

enum class LinkOpen {
    Answered,  // the display is open and identified itself: the link runs
    Silent,    // a display was found but did not answer: nothing is left open
    Absent,    // no display on this transport
};

class ILink {
public:
    virtual ~ILink() = default;

    // Looks for the display and runs the transport's hello or identification.
    // `waitMs` bounds how long the system's open of a port may take (a
    // Bluetooth port connects inside it); a serial open still on its way then
    // is kept for the search (see Search).
    virtual LinkOpen Open(DWORD waitMs) = 0;
    // Closes everything, an open still on its way included. Closing a closed link does nothing.
    virtual void Close() = 0;
    // Closes for a search: like Close, but an open still on its way stays and
    // becomes the search's first try.
    virtual void CloseForSearch() = 0;
    virtual bool IsOpen() const = 0;

    // Sends a display frame of kFrameCells cells (the display's dot order), or
    // holds it while an earlier frame waits for its acknowledgement.
    virtual void SendCells(const uint8_t* cells) = 0;
    // The display is back after an outage: nothing held from before it is
    // sent, and the newest image (ILinkEvents::CellImage) goes out.
    virtual void ShowImageAgain() = 0;
    // Takes what the display sent (keys become events, acknowledgements
    // release held frames) and watches the acknowledgement's time-out.
    virtual void Poll() = 0;
    // One step of the search for a display that went away, on every tick;
    // `due` once a search interval has passed, when a new try may start.
    // True once the display answered: the link runs and the caller shows the image.
    virtual bool Search(bool due) = 0;

    // The display's geometry once open.
    virtual int32_t TextCells() const = 0;
    virtual int32_t StatusCells() const = 0;
    // An event that is set when input may be waiting (the worker waits on it
    // with its queue); null when the link has no read outstanding.
    virtual HANDLE InputEvent() const = 0;
};

#endif
