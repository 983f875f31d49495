// The USB link: finds the display among the HID interfaces by its numbers,
// opens it twice (output reports on one handle, input reports on the other,
// both overlapped), runs the hello, sends display frames as six output reports
// and holds the frames written while one awaits its acknowledgement. One input
// read stays outstanding between polls, as HID client libraries keep it: its
// event tells the worker the moment a report has come. All of
// one display's state lives in this object, as a HID client library keeps it;
// every HID call goes through the seam.
#ifndef BRL_USB_LINK_H
#define BRL_USB_LINK_H

#include <windows.h>
#include <stdint.h>

#include "device/hid_reports.h"
#include "device/link.h"
#include "device/protocol.h"
#include "platform/handle.h"
#include "platform/platform.h"

constexpr int kRingSlots = 8;
constexpr int kRingSlotSize = 40;
// How long a cancelled operation is waited for. One still running then is left
// to finish on its own: Wine 8 passes each output report down as a request that
// cannot be cancelled, and some Windows stacks are no better.
constexpr DWORD kHidCancelWaitMs = 50;
// Operations given up and still running. A display that holds this many of the
// driver's reports is not opened again until it completes some, so a display
// that holds them for good costs a bounded amount of memory.
constexpr int32_t kMaxAbandonedHidIo = 8;

// Display frames written while an acknowledgement is outstanding. Only the
// newest is ever sent: older ones are superseded by it. A slot keeps the first
// kRingSlotSize cells of a frame; at most kRingSlots - 1 frames are held.
class CFrameRing {
public:
    void Push(const uint8_t* cells);
    const uint8_t* Newest() const;  // null when empty
    void Clear() { read = write; }
    bool Empty() const { return read == write; }

private:
    int32_t read{};
    int32_t write{};
    uint8_t slots[kRingSlots][kRingSlotSize]{};
};

// One overlapped operation on a HID handle, with all the system writes into
// while it runs: the report buffer, the OVERLAPPED and its event. A cancel need
// not end it (Wine 8 cannot cancel a HID write, nor can some Windows stacks),
// so it lives on the heap and is freed only once it has completed on its own.
struct CHidIo {
    OVERLAPPED overlapped;
    HANDLE event;      // manual reset, owned
    int32_t inFlight;  // issued and not yet seen complete
    CHidIo* next;      // on the list of operations given up
    uint8_t report[256];

    static CHidIo* New();  // null when memory or the event is not there
    static void Free(CHidIo* io);
    // Readies the block for a new operation: a fresh OVERLAPPED bound to its event.
    OVERLAPPED* Start();
};

class CUsbLink final : public ILink {
public:
    CUsbLink(IPlatform& platform, ILinkEvents& events);
    // An operation still running then is left allocated on purpose (at most
    // kMaxAbandonedHidIo + 2 blocks): the system may still write into it, and a
    // leak is better than memory written after it was freed.
    ~CUsbLink() override;
    CUsbLink(const CUsbLink&) = delete;
    CUsbLink& operator=(const CUsbLink&) = delete;

    // Open's wait does not apply: the HID stack opens at once.
    LinkOpen Open(DWORD waitMs) override;
    void Close() override;
    void CloseForSearch() override { Close(); }
    bool IsOpen() const override { return static_cast<bool>(writer); }
    void SendCells(const uint8_t* cells) override;
    void ShowImageAgain() override;
    void Poll() override;
    bool Search(bool due) override;
    int32_t TextCells() const override { return protocol::kHidTextCells; }
    int32_t StatusCells() const override { return 0; }
    // The outstanding input read's event: set once a report (or a failure)
    // has come, reset as the next read is issued.
    HANDLE InputEvent() const override { return reader && readIo && readIo->inFlight ? readIo->event : nullptr; }

    // The two information bytes of the display's answer to the hello.
    const uint8_t* DisplayInfo() const { return info; }

private:
    enum class ReadResult { Report, Nothing, Failed };

    bool Find();
    bool TryInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data);
    bool OpenMatched(HANDLE probe, const char* path);
    bool Hello();
    bool WriteReport(const uint8_t* payload, uint32_t started);
    bool IssueRead();
    ReadResult ReadReport(HidInput& input);
    bool CollectRead(HidInput& input);
    bool SendFrame(const uint8_t* cells);
    bool Recover();
    // Acts on one input report: a key, or the acknowledgement.
    void Handle(const HidInput& input);
    // Cancels the outstanding read and takes a report that completed it all
    // the same; false when the owner closed the link from inside its event.
    bool TakeReadBeingCancelled();
    void Lost();
    bool Cancel(HANDLE h, CHidIo& io);
    void Settle(HANDLE h, CHidIo*& io);
    void Reap();
    void CloseHandles();

    IPlatform& platform;
    ILinkEvents& events;
    CHandle writer;  // output reports
    CHandle reader;  // input reports
    HIDP_CAPS caps{};
    CHidIo* readIo = nullptr;  // kept from one display to the next unless given up; its read stays outstanding
    CHidIo* writeIo = nullptr;
    CHidIo* abandoned = nullptr;  // operations still running after their handle closed
    int32_t abandonedCount = 0;
    CFrameRing ring;  // frames written while one awaits its acknowledgement
    bool awaitingAck = false;
    uint32_t lastSendTick = 0;  // the seam's clock as the last report of a frame went out
    uint8_t info[2] = {};
};

#endif
