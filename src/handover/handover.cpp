// Shared-memory port handover: another program on this machine borrows the
// serial port and gives it back through the first word of a named section that
// it creates. Every tick the driver publishes its port number there, answers a
// lend request by closing its device, and on a restore value re-opens the
// device and lets go of the section.
//
// Word values: 101 lend request (other program), 102 lend answer (driver),
// 200 + x restore (other program; the driver writes x back), anything else
// below 200 is the driver's port number.
#include "driver/driver.h"

namespace {
constexpr char kSectionName[] = "tq715sharemem";
constexpr SIZE_T kViewSize = 255;
constexpr LONG kLendRequest = 101;
constexpr LONG kLendAnswer = 102;
constexpr LONG kRestoreBase = 200;

// The section is written by another process at any time: every access goes
// through a volatile 32-bit word so that each read and write really happens.
volatile LONG* Word(void* view, size_t index) { return static_cast<volatile LONG*>(view) + index; }

// A port number that reads as a protocol value would make the driver lend or
// restore on its own, and the other program could not tell it from an answer.
// Such numbers (and negative ones, which name no port) are published as 0.
LONG PublishedNumber(int32_t portNumber) {
    if (portNumber < 0 || portNumber >= kRestoreBase) return 0;
    if (portNumber == kLendRequest || portNumber == kLendAnswer) return 0;
    return portNumber;
}

// The other program chooses how the section is made. Serve it only when the
// whole view is committed and writable, so that no access of ours can fault.
bool ViewUsable(void* view) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(view, &info, sizeof info) != sizeof info) return false;
    if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS))) return false;
    const DWORD writable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (!(info.Protect & writable)) return false;
    const char* end = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
    return static_cast<const char*>(view) + kViewSize <= end;
}
}  // namespace

void CBrailleSampleDriver::ReleaseHandoverSection() {
    if (handoverView) {
        UnmapViewOfFile(handoverView);
        handoverView = nullptr;
    }
    if (handoverMapping) {
        CloseHandle(handoverMapping);
        handoverMapping = nullptr;
    }
}

// Only the serial port is lent: a USB display keeps its link.
void CBrailleSampleDriver::LendPort(int lend) {
    if (lend) {
        handoverActive = 1;
        const bool serialRunning = link == LinkState::Running && !usingHid;
        CloseSerialPort();  // the port of the serial link or of the search
        if (serialRunning) SetLink(LinkState::Lent);
        return;
    }
    handoverActive = 0;
    // Only a link that gave up its port takes it back here. A search goes on
    // and now tries the port as well; a suspended link waits for the host's
    // resume; a USB link never used the port.
    if (link != LinkState::Lent) return;
    if (!OpenDevice(portName)) StartSearch();
}

// A stopped driver reads no restore, so a lend can outlast the run that made
// it. A new start looks at the word itself before it opens anything: a port
// given back meanwhile is taken back (and the restore answered), a port still
// lent stays with its borrower and the start fails as for any busy port.
void CBrailleSampleDriver::TakeBackPortGivenWhileStopped() {
    if (!handoverActive) return;
    if (!handoverView) {
        // No section to give the port back through: nothing can end the lend.
        handoverActive = 0;
        return;
    }
    volatile LONG* word = Word(handoverView, 0);
    const LONG w = *word;
    if (w < kRestoreBase) return;
    *word = w - kRestoreBase;
    handoverActive = 0;
    ReleaseHandoverSection();
}

bool CBrailleSampleDriver::ServiceHandover() {
    if (!handoverMapping) {
        // Read and write only: all access would also ask for the right to
        // delete the section and change its security, which a borrower that
        // secures its section grants nobody, and the open would fail.
        handoverMapping = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, TRUE, kSectionName);
        if (!handoverMapping) return false;
        handoverView = MapViewOfFile(handoverMapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kViewSize);
        if (handoverView && !ViewUsable(handoverView)) {
            UnmapViewOfFile(handoverView);
            handoverView = nullptr;
        }
        // A section we cannot use is let go rather than held: holding it would
        // keep the name taken by an unusable object, and the other program could
        // not make a good one. The next tick tries again.
        if (!handoverView) ReleaseHandoverSection();
        // The word of a freshly opened section is first looked at on the next tick.
        return false;
    }
    if (!handoverView) return false;

    volatile LONG* word = Word(handoverView, 0);
    const LONG w = *word;

    if (w >= kRestoreBase) {
        *word = w - kRestoreBase;
        LendPort(0);
        // Detach after every restore; the section is found again next tick if
        // the other program still holds it.
        ReleaseHandoverSection();
        return false;
    }
    if (handoverActive) return true;

    if (w == kLendRequest) {
        LendPort(1);
        // The other program reads the versions once it sees 102: they go first.
        *Word(handoverView, 1) = static_cast<LONG>(deviceVersion[0]);
        *Word(handoverView, 2) = static_cast<LONG>(deviceVersion[1]);
        MemoryBarrier();
        *word = kLendAnswer;
        return false;
    }

    // Publish only over the value just read: a request the other program wrote
    // since then must not be overwritten and lost.
    const LONG number = PublishedNumber(comPortNumber);
    if (w != number) InterlockedCompareExchange(word, number, w);
    return false;
}
