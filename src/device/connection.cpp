// Device connection and poll cycle: opens the display (USB first, then the
// serial port), keeps the outgoing cell image in the display's dot order, and
// every 100 ms tick reads input, watches acknowledgements and recovers.
#include <cstring>

#include "device/serial/serial.h"
#include "driver/driver.h"

namespace {
constexpr uint32_t kHidAckTimeoutMs = 1000;
constexpr uint32_t kSerialAckTimeoutMs = 400;
constexpr uint32_t kProbeIntervalMs = 1000;  // retry period while the display is away
constexpr int kPollReadSize = 80;

// Host bit k moves to device bit kDeviceBit[k].
constexpr int kDeviceBit[8] = {3, 2, 1, 7, 6, 5, 0, 4};
}  // namespace

uint8_t CBrailleSampleDriver::TranslateDots(uint8_t b) {
    uint8_t out = 0;
    for (int k = 0; k < 8; ++k)
        if (b & (1u << k)) out = static_cast<uint8_t>(out | (1u << kDeviceBit[k]));
    return out;
}

void CBrailleSampleDriver::CloseHidHandles() {
    if (hidHandle || hidReadHandle) FinishHidRead();
    if (hidHandle) platform->HidClose(hidHandle);
    if (hidReadHandle) platform->HidClose(hidReadHandle);
    hidHandle = nullptr;
    hidReadHandle = nullptr;
}

int CBrailleSampleDriver::OpenDevice(const char* name) {
    // A restore on the USB link re-opens an open display: release the old
    // handles first instead of leaking them.
    if (hidHandle || hidReadHandle) CloseHidHandles();
    // A port opened only to probe for a returning display gives way to a real open.
    if (probePortOpen && serial) {
        serial->Close();
        delete serial;
        serial = nullptr;
    }
    probePortOpen = 0;

    usingHid = 0;
    // A name that does not fit the field is refused as a whole (an empty name
    // opens no serial port) rather than cut into the name of another port.
    // The name may be portName itself (resume, restore): copy through a local.
    char copy[kPortNameSize] = {};
    if (name && strnlen(name, kPortNameSize) < static_cast<size_t>(kPortNameSize))
        std::memcpy(copy, name, strnlen(name, kPortNameSize - 1));
    std::memcpy(portName, copy, sizeof portName);
    for (char& c : portName)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');

    if (FindHidDevice()) {
        opening = 1;
        int answered = HidHandshake();
        opening = 0;
        if (answered) {
            usingHid = 1;
            textCells = 40;
            statusCells = 0;
            return 1;
        }
        CloseHidHandles();
        return 0;
    }

    // While another program has borrowed the serial port, neither a resume nor
    // a new Initialize may take it from under it; the restore re-opens it. The
    // USB display above has nothing to do with the lent port.
    if (handoverActive) return 0;
    if (!portName[0] || !OpenSerialPort()) {
        CloseDevice();
        return 0;
    }
    // A new connection starts with a clean failure count: after the driver
    // suspended itself the count is 4, which would stop the identification.
    failureCount = 0;
    opening = 1;
    int found = IdentifySerialDevice();
    opening = 0;
    if (!found) {
        CloseDevice();
        return 0;
    }
    if (selfSuspended) {
        // The display is back (for example after a handover restore): resume.
        selfSuspended = 0;
        suspended = 0;
        awaitingAck = 0;
        SendFrame(0x00, kFrameCells, cellImage);
    }
    return 1;
}

void CBrailleSampleDriver::CloseDevice() {
    if (usingHid) {
        CloseHidHandles();
    } else if (serial) {
        serial->Close();
        delete serial;
        serial = nullptr;
    }
    probePortOpen = 0;
}

void CBrailleSampleDriver::PlaceCells(uint32_t first, const uint8_t* cells, uint32_t count) {
    // Positions past the image are never sent; they are dropped, not written.
    for (uint32_t k = 0; k < count && first + k < static_cast<uint32_t>(kCellImageSize); ++k)
        cellImage[first + k] = TranslateDots(cells[k]);
}

void CBrailleSampleDriver::SendTextCells(const uint8_t* cells, uint32_t count) {
    const uint32_t first = statusCells > 0 ? static_cast<uint32_t>(statusCells) : 0;
    if (usingHid) {
        if (!hidHandle) return;
        PlaceCells(first, cells, count);
        WriteCellsHid(cellImage);
        return;
    }
    if (!serial || suspended) return;
    PlaceCells(first, cells, count);
    SendFrame(0x00, kFrameCells, cellImage);
}

void CBrailleSampleDriver::SendAllCells(const uint8_t* cells, uint32_t count) {
    if (count == 0) return;
    if (usingHid) {
        if (!hidHandle) return;
        PlaceCells(0, cells, count);
        WriteCellsHid(cellImage);
        return;
    }
    if (!serial || suspended) return;
    PlaceCells(0, cells, count);
    SendFrame(0x00, kFrameCells, cellImage);
}

void CBrailleSampleDriver::SendBlankCells() {
    const uint8_t blank[kFrameCells] = {};
    if (usingHid)
        WriteCellsHid(blank);
    else
        SendFrame(0x00, kFrameCells, blank);
}

void CBrailleSampleDriver::ResendCellImage() { WriteCellsHid(cellImage); }

// The driver suspends itself when the serial display stopped acknowledging.
// The key window belongs to the host's thread and stays; no keys can arrive
// while the port is closed.
void CBrailleSampleDriver::SuspendFromWorker() {
    suspended = 1;
    selfSuspended = 1;
    CloseDevice();
    probeTick = platform->NowMs();
}

// While suspended by itself, the driver looks for the display once a second
// without spinning: it opens the port, sends one identification request and
// reads the answer on later ticks. When the display answers, the link resumes
// and the last image is shown again.
void CBrailleSampleDriver::ProbeReturningDisplay() {
    if (usingHid) return;
    if (serial && probePortOpen) {
        uint8_t buffer[kPollReadSize];
        DWORD count = 0;
        identified = 0;
        serial->Read(buffer, sizeof buffer, &count, nullptr, INFINITE);
        probeReading = 1;
        for (DWORD i = 0; i < count && i < sizeof buffer; ++i) FeedByte(buffer[i]);
        probeReading = 0;
        if (identified) {
            probePortOpen = 0;
            selfSuspended = 0;
            suspended = 0;
            failureCount = 0;
            awaitingAck = 0;
            pendingValid = 0;
            const uint8_t done = 0x00;
            SendFrame(0x26, 1, &done);
            SendFrame(0x00, kFrameCells, cellImage);
            return;
        }
    }
    if (static_cast<uint32_t>(platform->NowMs() - probeTick) < kProbeIntervalMs) return;
    probeTick = platform->NowMs();
    if (!serial) {
        if (!portName[0] || !OpenSerialPort()) return;
        probePortOpen = 1;
    }
    if (!probePortOpen) return;
    uint8_t frame[8];
    size_t size = EncodeSerialFrame(0x24, 0, nullptr, frame);
    serial->Write(frame, static_cast<DWORD>(size), nullptr, nullptr, 1000);
}

void CBrailleSampleDriver::PollTick() {
    if (ServiceHandover()) return;
    if (selfSuspended) {
        if (suspended) ProbeReturningDisplay();
        return;
    }
    if (opening || suspended) return;

    if (usingHid) {
        if (!hidHandle && !FindHidDevice()) return;
        uint8_t payload[kHidPayloadSize];
        if (ReadHidReport(payload) == 9) {
            HandleHidReport(payload);
            return;
        }
        if (awaitingAck && static_cast<uint32_t>(platform->NowMs() - lastSendTick) > kHidAckTimeoutMs) {
            CloseDevice();
            awaitingAck = 0;
            ringRead = 0;
            ringWrite = 0;
            if (FindHidDevice()) ResendCellImage();
            return;
        }
        if (!awaitingAck && ringRead != ringWrite) {
            WriteCellsHid(hidRing[ringRead & 7]);
            ringRead = (ringRead + 1) & 7;
        }
        return;
    }

    if (failureCount == 4) failureCount = serial ? 0 : 4;
    if (!serial) return;
    uint8_t buffer[kPollReadSize];
    DWORD count = 0;
    serial->Read(buffer, sizeof buffer, &count, nullptr, INFINITE);
    for (DWORD i = 0; i < count && i < sizeof buffer; ++i) FeedByte(buffer[i]);

    if (awaitingAck && static_cast<uint32_t>(platform->NowMs() - lastSendTick) > kSerialAckTimeoutMs) {
        if (failureCount > 2) {
            // Suspend(1) from the worker itself: it must not wait for its own signal.
            SuspendFromWorker();
            ++failureCount;
            awaitingAck = 0;
            return;
        }
        ++failureCount;
        awaitingAck = 0;
    }
    if (!awaitingAck && pendingValid) {
        SendFrame(pendingCommand, pendingLength, pendingData);
        pendingValid = 0;
    }
}
