// The serial link: the display on a COM port at 38400 baud. It owns the port,
// the decoder, the display frame held while an earlier one waits for its
// acknowledgement, the count of acknowledgement time-outs, and the port the
// search keeps open to probe for a display that went away.
//
// Every valid frame the display sends is acknowledged before it is acted on,
// while the link runs and while it probes alike. A display frame waits for
// the display's acknowledgement; frames written meanwhile are held, only the
// newest. Three acknowledgement time-outs in a row are tolerated, the fourth
// gives the display up (OnLost); a failed read, write or status query does so
// at once. What the link sends is only what its owner asks for: suspension
// and the port's lend to another program are the owner's to decide.
//
// While the link runs it keeps a one-byte read outstanding on the port, which
// ends as soon as a byte arrives; InputEvent is that read's event, so its owner
// polls the moment the display sends something rather than at its next tick.
#ifndef BRL_SERIAL_LINK_H
#define BRL_SERIAL_LINK_H

#include <windows.h>
#include <stdint.h>

#include <memory>

#include "device/link.h"
#include "device/protocol.h"
#include "device/serial_decoder.h"
#include "platform/handle.h"
#include "platform/platform.h"

class CSerial;

class CSerialLink final : public ILink {
public:
    static constexpr int kPortNameSize = 128;
    // Makes the port object of one connection (null when there is none to be
    // had); the product's makes a CSerial over the seam, tests hand scripted ports.
    using PortMaker = std::unique_ptr<CSerial> (*)(void* context, IPlatform& platform);

    CSerialLink(IPlatform& platform, ILinkEvents& events);
    ~CSerialLink() override;
    CSerialLink(const CSerialLink&) = delete;
    CSerialLink& operator=(const CSerialLink&) = delete;

    void SetPortMaker(PortMaker maker, void* context);
    // The port to open, upper-cased. A name that does not fit is refused as a
    // whole (false; the link then has no name) rather than cut into the name of
    // another port; an empty or null name opens nothing.
    bool SetPortName(const char* name);
    const char* PortName() const { return portName; }
    // The number after "COM" in the port name (0 for none), taken at the
    // identification; the handover publishes it.
    int32_t PortNumber() const { return portNumber; }
    // The two version bytes of the display's identity.
    const uint8_t* DeviceVersion() const { return deviceVersion; }

    LinkOpen Open(DWORD waitMs) override;
    void Close() override;
    void CloseForSearch() override;
    bool IsOpen() const override;
    void SendCells(const uint8_t* cells) override;
    void ShowImageAgain() override;
    void Poll() override;
    bool Search(bool due) override;
    int32_t TextCells() const override { return textCells; }
    int32_t StatusCells() const override { return protocol::kSerialStatusCells; }
    HANDLE InputEvent() const override;

private:
    static constexpr int kPollReadSize = 80;  // bytes taken per poll
    static constexpr DWORD kProbeOpenWaitMs = 50;
    static constexpr DWORD kReadWaitMs = 60000;  // an outstanding read ends empty after this
    static constexpr DWORD kReadCancelMs = 500;
    // A read that ends without a byte sooner than this after it was issued
    // ended early (a cancel, or a driver that does not keep to the time-outs).
    static constexpr DWORD kEarlyEndMs = 1000;
    static constexpr int kEarlyEndsTolerated = 3;  // in a row; then the link reads on the tick

    // The outstanding read: its record, event and buffer. Apart from the link
    // so that a read the system does not let go of is given up, not freed.
    struct CInputRead {
        OVERLAPPED overlapped{};
        CHandle event;
        uint8_t byte = 0;
        bool pending = false;  // issued and not yet taken
    };

    bool OpenPort(DWORD waitMs);
    bool StillOpening() const;
    void ClosePort();
    bool Identify();
    void TakePortNumber();
    // Reads what the port holds (at most `size` bytes) and handles each
    // frame; false when the port failed. Sets `identity` when one came.
    bool ReadAndHandle(DWORD size, bool& identity);
    bool Handle(const CSerialFrame& frame);
    void SendFrame(uint8_t command, uint8_t length, const uint8_t* data);
    void SendIdentifyRequest();
    bool TakeProbeAnswer();
    void Lost();
    // Takes a finished outstanding read: its bytes handled; false when the port failed.
    bool TakeRead(DWORD& taken);
    // Issues the outstanding read (the port's reads wait for a byte from the
    // first); false when the port failed.
    bool StartRead();
    // Back to immediate reads, on the tick only; false when the port failed.
    bool ReadOnTheTick();
    // Cancels an outstanding read and waits, bounded, for it to end before
    // the port goes.
    void SettleRead();

    IPlatform& platform;
    ILinkEvents& events;
    PortMaker makePort;
    void* makePortContext;
    std::unique_ptr<CSerial> port;
    std::unique_ptr<CInputRead> input;  // made at the first read, kept across connections
    bool readWaits = false;             // the port's timeouts are set for the outstanding read
    DWORD readIssuedMs = 0;             // when the outstanding read was issued
    int earlyEnds = 0;                  // reads in a row that ended early without a byte
    CSerialDecoder decoder;             // kept across connections: a new one goes on from where the last stopped
    char portName[kPortNameSize] = {};
    int32_t portNumber = 0;
    uint8_t deviceVersion[2] = {};
    int32_t textCells = 0;
    bool probing = false;      // the port is open (or opening) only to look for the display
    bool portFailed = false;   // a write failed: the port is dead, acted on by the next poll
    bool awaitingAck = false;  // a display frame waits for the display's acknowledgement
    DWORD lastSendMs = 0;      // when the last frame went out; the time-out runs from it
    int timeouts = 0;          // acknowledgement time-outs in a row
    bool holding = false;      // `held` waits for the acknowledgement to end
    uint8_t held[protocol::kFrameCells] = {};
};

#endif
