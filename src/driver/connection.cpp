// The connection: which link has the display, the outgoing cell image in the
// display's dot order, and the poll on every 100 ms tick. Everything that
// differs between USB and the serial port is behind the links (device/link.h).
//
// The state (LinkState) changes only here, through SetLink:
//
//   Closed --open--> Opening --a link's display answered--> Running
//   Opening --no display--> Closed (first open) or Searching (resume, restore)
//   Running --the link lost its display--> Searching
//   Searching --once a second: USB, then the serial port--> Running
//   Running(serial) --port lent--> Lent --port given back--> Opening
//   any --host suspends--> Suspended --host resumes--> Opening
//   any --close--> Closed
//
// A USB display keeps running while the serial port is lent.
#include <cstring>
#include <initializer_list>

#include "driver/driver.h"

namespace {
// How long the worker waits for the system to open the serial port. The host's
// start waits longest (a Bluetooth port connects inside the open); a resume or
// a restore leaves a slow open to the search, which never waits for more than
// a moment and takes the port on a later tick, so that Suspend, Terminate and
// the handover are never held behind an open.
constexpr DWORD kFirstOpenWaitMs = 5000;
constexpr DWORD kReturnOpenWaitMs = 500;
}  // namespace

uint8_t CBrailleSampleDriver::TranslateDots(uint8_t b) {
    uint8_t out = 0;
    for (int k = 0; k < 8; ++k)
        if (b & (1u << k)) out = static_cast<uint8_t>(out | (1u << protocol::kDeviceBit[k]));
    return out;
}

void CBrailleSampleDriver::SetLink(LinkState next) {
    link = next;
    if (next == LinkState::Searching) searchTick = platform->NowMs();
}

// The link has the display: it becomes the active link and gives the geometry.
// After an outage the display shows the newest image at once.
int CBrailleSampleDriver::Activate(ILink& found, bool away) {
    activeLink = &found;
    textCells = found.TextCells();
    statusCells = found.StatusCells();
    SetLink(LinkState::Running);
    if (away) found.ShowImageAgain();
    return 1;
}

// USB first; the serial port only when no USB display is there at all.
int CBrailleSampleDriver::OpenDevice(const char* name) {
    const bool away = link == LinkState::Searching || link == LinkState::Lent;
    const DWORD openWait = link == LinkState::Closed ? kFirstOpenWaitMs : kReturnOpenWaitMs;
    activeLink = nullptr;
    // A restore on the USB link re-opens an open display; a port opened only to
    // probe gives way to a real open, while an open still on its way is carried on.
    usbLink.Close();
    serialLink.CloseForSearch();
    if (name) serialLink.SetPortName(name);

    SetLink(LinkState::Opening);
    const LinkOpen usb = usbLink.Open(0);
    if (usb == LinkOpen::Answered) return Activate(usbLink, away);
    // A USB display that does not answer fails the open; the serial port is not tried.
    // While another program has borrowed the serial port, neither a resume nor
    // a new Initialize may take it from under it; the restore re-opens it.
    if (usb == LinkOpen::Silent || handover.Lent()) {
        serialLink.Close();
        SetLink(LinkState::Closed);
        return 0;
    }
    // An open still on its way stays with the link for the search that follows
    // a resume or a restore (a failed start closes everything).
    if (serialLink.Open(openWait) == LinkOpen::Answered) return Activate(serialLink, away);
    SetLink(LinkState::Closed);
    return 0;
}

void CBrailleSampleDriver::CloseDevice() {
    activeLink = nullptr;
    usbLink.Close();
    serialLink.Close();
    SetLink(LinkState::Closed);
}

void CBrailleSampleDriver::PlaceCells(uint32_t first, const uint8_t* cells, uint32_t count) {
    // Positions past the image are never sent; they are dropped, not written.
    for (uint32_t k = 0; k < count && first + k < static_cast<uint32_t>(kCellImageSize); ++k)
        cellImage[first + k] = TranslateDots(cells[k]);
}

// Writes always reach the cell image, also while the display is away, the
// port lent or the host suspended: the display shows the newest image when it is back.
void CBrailleSampleDriver::SendTextCells(const uint8_t* cells, uint32_t count) {
    PlaceCells(statusCells > 0 ? static_cast<uint32_t>(statusCells) : 0, cells, count);
    SendImage(cellImage);
}

void CBrailleSampleDriver::SendAllCells(const uint8_t* cells, uint32_t count) {
    if (count == 0) return;
    PlaceCells(0, cells, count);
    SendImage(cellImage);
}

void CBrailleSampleDriver::SendBlankCells() {
    const uint8_t blank[kFrameCells] = {};
    SendImage(blank);
}

// The host's suspension counts from its call on: nothing more goes out.
void CBrailleSampleDriver::SendImage(const uint8_t* cells) {
    if (link != LinkState::Running || !activeLink || suspended) return;
    activeLink->SendCells(cells);
}

void CBrailleSampleDriver::SuspendLink() {
    activeLink = nullptr;
    usbLink.Close();
    serialLink.Close();
    SetLink(LinkState::Suspended);
}

// The display went away or was not there: close what is left and look for it
// once a second. Host writes go on updating the cell image meanwhile.
void CBrailleSampleDriver::StartSearch() {
    activeLink = nullptr;
    usbLink.Close();
    // An open still on its way (a slow Bluetooth port) is the search's first try.
    serialLink.CloseForSearch();
    SetLink(LinkState::Searching);
}

// A link found its display gone while running; during an open or a search
// the caller sees the failure itself.
void CBrailleSampleDriver::LinkLost() {
    if (link == LinkState::Running) StartSearch();
}

// On the 100 ms tick, never a busy wait: each link takes its step, USB first,
// and a new try starts once a second. A lent port belongs to the other program
// until it is given back.
void CBrailleSampleDriver::SearchForDisplay() {
    const DWORD now = platform->NowMs();
    const bool due = static_cast<uint32_t>(now - searchTick) >= protocol::kSearchIntervalMs;
    if (due) searchTick = now;
    for (ILink* candidate : {static_cast<ILink*>(&usbLink), static_cast<ILink*>(&serialLink)}) {
        if (candidate == &serialLink && handover.Lent()) continue;
        if (!candidate->Search(due)) continue;
        for (ILink* other : {static_cast<ILink*>(&usbLink), static_cast<ILink*>(&serialLink)})
            if (other != candidate) other->Close();
        Activate(*candidate, true);
        return;
    }
}

void CBrailleSampleDriver::PollTick() {
    ServiceHandover();
    // The host's suspension counts from its call on; its command follows.
    if (suspended) return;
    if (link == LinkState::Searching)
        SearchForDisplay();
    else if (link == LinkState::Running && activeLink)
        activeLink->Poll();
}

// ---- the port handover: another program borrows the serial port ----
void CBrailleSampleDriver::ServiceHandover() {
    switch (handover.Service(serialLink.PortNumber())) {
    case CHandover::Request::Lend:
        LendPort();
        // The other program opens the port once it reads the answer.
        handover.AnswerLend(serialLink.DeviceVersion());
        return;
    case CHandover::Request::GivenBack:
        TakeBackPort();
        return;
    case CHandover::Request::None:
        return;
    }
}

// Only the serial port is lent: a USB display keeps its link.
void CBrailleSampleDriver::LendPort() {
    const bool serialRunning = link == LinkState::Running && activeLink == &serialLink;
    serialLink.Close();  // the port of the serial link or of the search
    if (!serialRunning) return;
    activeLink = nullptr;
    SetLink(LinkState::Lent);
}

// Only a link that gave up its port takes it back here. A search goes on and
// now tries the port as well; a suspended link waits for the host's resume; a
// USB link never used the port.
void CBrailleSampleDriver::TakeBackPort() {
    if (link != LinkState::Lent) return;
    if (!OpenDevice(nullptr)) StartSearch();
}
