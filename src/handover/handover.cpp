#include "handover/handover.h"

namespace {
constexpr char kSectionName[] = "tq715sharemem";
constexpr SIZE_T kViewSize = 255;
constexpr LONG kLendRequest = 101;
constexpr LONG kLendAnswer = 102;
constexpr LONG kRestoreBase = 200;

// A port number that reads as a protocol value would make the driver lend or
// restore on its own, and the other program could not tell it from an answer.
// Such numbers (and negative ones, which name no port) are published as 0.
LONG PublishedNumber(int32_t portNumber) {
    if (portNumber < 0 || portNumber >= kRestoreBase) return 0;
    if (portNumber == kLendRequest || portNumber == kLendAnswer) return 0;
    return portNumber;
}

}  // namespace

void CHandover::Release() {
    view.Reset();
    mapping.Reset();
}

// True when the section was already attached.
bool CHandover::Attach() {
    if (mapping) return true;
    // Read and write only: all access would also ask for the right to delete
    // the section and change its security, which a borrower that secures its
    // section grants nobody, and the open would fail.
    mapping.Reset(OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, TRUE, kSectionName));
    if (!mapping) return false;
    view.Reset(MapViewOfFile(mapping.Get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kViewSize));
    // A section we cannot use is let go rather than held: holding it would
    // keep the name taken by an unusable object, and the other program could
    // not make a good one. The next tick tries again.
    if (!view.Usable()) Release();
    return false;
}

// `w` is the word as just read. A restore is answered with x, ends the lend
// and detaches: the section is found again next tick if the other program
// still holds it.
bool CHandover::TakeRestore(LONG w) {
    if (w < kRestoreBase) return false;
    *view.Word(0) = w - kRestoreBase;
    lent = false;
    Release();
    return true;
}

CHandover::Request CHandover::Service(int32_t portNumber) {
    if (!Attach()) return Request::None;
    volatile LONG* word = view.Word(0);
    const LONG w = *word;
    if (TakeRestore(w)) return Request::GivenBack;
    if (lent) return Request::None;
    if (w == kLendRequest) {
        lent = true;
        return Request::Lend;
    }
    // Publish only over the value just read: a request the other program wrote
    // since then must not be overwritten and lost.
    const LONG number = PublishedNumber(portNumber);
    if (w != number) InterlockedCompareExchange(word, number, w);
    return Request::None;
}

void CHandover::AnswerLend(const uint8_t version[2]) {
    if (!view) return;
    // The other program reads the versions once it sees 102: they go first.
    *view.Word(1) = static_cast<LONG>(version[0]);
    *view.Word(2) = static_cast<LONG>(version[1]);
    MemoryBarrier();
    *view.Word(0) = kLendAnswer;
}

void CHandover::TakeBackGivenWhileStopped() {
    if (!lent) return;
    if (!view) {
        // No section to give the port back through: nothing can end the lend.
        lent = false;
        return;
    }
    TakeRestore(*view.Word(0));
}

// The other program chooses how the section is made. Serve it only when the
// whole view is committed and writable, so that no access of ours can fault.
bool CHandover::CView::Usable() const {
    MEMORY_BASIC_INFORMATION info;
    if (!view || VirtualQuery(view, &info, sizeof info) != sizeof info) return false;
    if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS))) return false;
    const DWORD writable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (!(info.Protect & writable)) return false;
    const char* end = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
    return static_cast<const char*>(view) + kViewSize <= end;
}
