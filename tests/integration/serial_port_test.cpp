// CSerial over a real virtual cable under Wine: what one end writes, the other
// end reads. Cables may hold bytes from earlier tests, so every test purges.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device/serial/serial.h"
#include "display_sim.h"
#include "driver/driver.h"
#include "support/fake_serial.h"
#include "support/probes.h"
#include "support/recording_host.h"
#include "support/test_env.h"

namespace {

using Bytes = std::vector<uint8_t>;
using probes::NowMs;
using probes::Timed;
using serialwire::Hex;
using testenv::Pattern;

// Bytes waiting in the port's input queue, or -1 when the port cannot say.
long Queued(const CSerial& port) {
    COMSTAT status;
    DWORD errors = 0;
    if (!ClearCommError(port.Handle(), &errors, &status)) return -1;
    return static_cast<long>(status.cbInQue);
}

// Collects exactly `wanted` bytes with immediate reads, within a bounded time.
Bytes ReadBytes(CSerial& port, size_t wanted, DWORD timeoutMs = 5000) {
    Bytes got;
    uint8_t chunk[256];
    testenv::WaitUntil(
        [&] {
            DWORD n = 0;
            DWORD room = static_cast<DWORD>(std::min(sizeof chunk, wanted - got.size()));
            if (room == 0) return true;
            if (port.Read(chunk, room, &n, nullptr, INFINITE) != 0) return true;
            got.insert(got.end(), chunk, chunk + n);
            return got.size() >= wanted;
        },
        timeoutMs);
    return got;
}

// Reads whatever arrives until the port has been quiet for a while.
Bytes Drain(CSerial& port, DWORD limitMs = 20000) {
    Bytes got;
    uint8_t chunk[4096];
    double quietSince = NowMs();
    testenv::WaitUntil(
        [&] {
            DWORD n = 0;
            if (port.Read(chunk, sizeof chunk, &n, nullptr, INFINITE) != 0) return true;
            got.insert(got.end(), chunk, chunk + n);
            if (n > 0) quietSince = NowMs();
            return NowMs() - quietSince >= 300;
        },
        limitMs);
    return got;
}

// Writes the bytes at one end; the other end must receive exactly them.
::testing::AssertionResult Carries(CSerial& from, CSerial& to, const Bytes& bytes) {
    DWORD count = 0;
    const LONG result = from.Write(bytes.data(), static_cast<DWORD>(bytes.size()), &count, nullptr, 1000);
    if (result != 0 || count != bytes.size())
        return ::testing::AssertionFailure() << "write returned " << result << " after " << count << " bytes";
    const Bytes got = ReadBytes(to, bytes.size());
    if (got != bytes) return ::testing::AssertionFailure() << "received " << Hex(got) << " for " << Hex(bytes);
    return ::testing::AssertionSuccess();
}

// An immediate read on a port with nothing queued comes back at once, empty.
::testing::AssertionResult ReadsNothingAtOnce(CSerial& port) {
    uint8_t buffer[80];
    DWORD count = 55;
    LONG result = -1;
    const double took = Timed([&] { result = port.Read(buffer, sizeof buffer, &count, nullptr, INFINITE); });
    if (result == 0 && count == 0 && took < 1000.0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "read returned " << result << " with " << count << " bytes after " << took
                                         << " ms";
}

// An overlapped record of the caller's own, with an event that lives as long.
struct OwnRecord : OVERLAPPED {
    OwnRecord() : OVERLAPPED{} { hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~OwnRecord() { CloseHandle(hEvent); }
};

// Both ends of one cable opened the way the driver opens its port, configured
// and purged.
class SerialCable : public ::testing::Test {
protected:
    explicit SerialCable(size_t index = 0) : index(index) {}
    void SetUp() override {
        ASSERT_CABLE(cable, index);
        ASSERT_EQ(0, driverEnd.Open(cable.driverEnd.c_str(), 0, 0, true));
        ASSERT_EQ(0, displayEnd.Open(cable.displayEnd.c_str(), 0, 0, true));
        for (CSerial* end : {&driverEnd, &displayEnd}) {
            ASSERT_EQ(0, end->Configure(38400, 8, NOPARITY, ONESTOPBIT));
            ASSERT_EQ(0, end->Purge());
        }
    }
    const size_t index;
    testenv::Cable cable;
    CSerial driverEnd;
    CSerial displayEnd;
};

// Stalled writes fill a cable's buffers, so they get a cable of their own.
class SerialStall : public SerialCable {
protected:
    SerialStall() : SerialCable(1) {}
};

using SerialOpen = SerialCable;
using SerialTransfer = SerialCable;
using SerialRead = SerialCable;
using SerialModes = SerialCable;
using SerialEvents = SerialCable;
using SerialLifetime = SerialCable;

}  // namespace

TEST_F(SerialOpen, OpensForOverlappedIoAndAppliesTheLineSettings) {
    ASSERT_EQ(0, driverEnd.Close());
    ASSERT_EQ(0, driverEnd.Open(cable.driverEnd.c_str(), 0, 0, true));
    EXPECT_TRUE(driverEnd.IsOpen());
    EXPECT_EQ(0xC1u, driverEnd.GetEventMask());
    COMMTIMEOUTS t;
    ASSERT_TRUE(GetCommTimeouts(driverEnd.Handle(), &t));
    EXPECT_EQ((std::vector<DWORD>{MAXDWORD, 0, 0}),
              (std::vector<DWORD>{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant}));

    auto settings = [&] {
        return std::vector<LONG>{driverEnd.GetBaudRate(), driverEnd.GetDataBits(), driverEnd.GetParity(),
                                 driverEnd.GetStopBits()};
    };
    ASSERT_EQ(0, driverEnd.Configure(38400, 8, NOPARITY, ONESTOPBIT));
    EXPECT_EQ((std::vector<LONG>{38400, 8, NOPARITY, ONESTOPBIT}), settings());
    EXPECT_EQ(0, driverEnd.LastError());

    // A pty keeps 8 data bits and no parity whatever it is told, so only the
    // rate and the stop bits can show a second configuration taking effect.
    ASSERT_EQ(0, driverEnd.Configure(9600, 8, NOPARITY, TWOSTOPBITS));
    EXPECT_EQ((std::vector<LONG>{9600, 8, NOPARITY, TWOSTOPBITS}), settings());
}

// A port as Windows keeps it between programs: every setting the last program
// left survives, and its default configuration may ask for flow control. A pty
// under Wine keeps only the termios part, so the rest lives here; writes also
// go to the real port, where XON/XOFF left on would swallow 0x11 and 0x13.
struct CKeptPort {
    static inline DCB dcb;
    static inline COMMTIMEOUTS timeouts;
    static inline COMMCONFIG defaults;
    static BOOL WINAPI GetDefault(LPCSTR, LPCOMMCONFIG c, LPDWORD size) {
        return *c = defaults, *size = sizeof *c, TRUE;
    }
    static BOOL WINAPI SetConfig(HANDLE h, LPCOMMCONFIG c, DWORD) { return SetState(h, &c->dcb); }
    static BOOL WINAPI GetState(HANDLE, LPDCB d) { return *d = dcb, TRUE; }
    static BOOL WINAPI SetState(HANDLE h, LPDCB d) { return dcb = *d, SetCommState(h, d); }
    static BOOL WINAPI GetTimeouts(HANDLE, LPCOMMTIMEOUTS t) { return *t = timeouts, TRUE; }
    static BOOL WINAPI SetTimeouts(HANDLE h, LPCOMMTIMEOUTS t) { return timeouts = *t, SetCommTimeouts(h, t); }
};

// Everything flow control, replacement and error handling can spoil.
DCB SpoiltState() {
    DCB d{};
    d.DCBlength = sizeof d;
    d.BaudRate = 9600;
    d.fParity = d.fOutxCtsFlow = d.fOutxDsrFlow = d.fDsrSensitivity = 1;
    d.fOutX = d.fInX = d.fErrorChar = d.fNull = d.fAbortOnError = 1;
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    d.XonLim = d.XoffLim = 512;
    d.ByteSize = 7;
    d.Parity = EVENPARITY;
    d.StopBits = TWOSTOPBITS;
    d.XonChar = 0x13;
    d.XoffChar = 0x11;
    d.ErrorChar = '?';
    d.EofChar = 0x1A;
    d.EvtChar = 0x0D;
    return d;
}

TEST(SerialOpenSettings, NothingLeftByAnotherProgramOrTheDefaultsSurvivesTheOpen) {
    REQUIRE_CABLE(cable, 0);
    // Another program leaves XON/XOFF and CTS flow on the real port.
    HANDLE other = CreateFileA(("\\\\.\\" + cable.driverEnd).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    DCB left{};
    left.DCBlength = sizeof left;
    ASSERT_TRUE(GetCommState(other, &left));
    left.fOutX = left.fInX = left.fOutxCtsFlow = 1;
    EXPECT_TRUE(SetCommState(other, &left));
    CloseHandle(other);
    // What Windows would also have kept, and defaults that ask for XON/XOFF.
    CKeptPort::dcb = SpoiltState();
    CKeptPort::timeouts = {5, 7, 11, 13, 17};
    CKeptPort::defaults = {};
    CKeptPort::defaults.dwSize = sizeof CKeptPort::defaults;
    CKeptPort::defaults.dcb = SpoiltState();
    CSerial::settingsCalls = {CKeptPort::GetDefault, CKeptPort::SetConfig,   CKeptPort::GetState,
                              CKeptPort::SetState,   CKeptPort::GetTimeouts, CKeptPort::SetTimeouts};
    struct Restore {
        ~Restore() { CSerial::settingsCalls = CSerial::kSystemSettingsCalls; }
    } restore;

    sim::CSimDisplay display;
    ASSERT_TRUE(display.Open(cable.displayEnd.c_str()));
    CTestClock clock;
    clock.UseRealClock(true);
    clock.layout = {{'a', 0x41}};
    CBrailleSampleDriver driver(clock);
    testenv::CRecordingHost host;
    ASSERT_EQ(1, driver.Initialize(cable.driverEnd.c_str(), &host, "", ""));

    const DCB& d = CKeptPort::dcb;
    EXPECT_EQ(38400u, d.BaudRate);
    EXPECT_EQ(8, d.ByteSize);
    EXPECT_EQ(NOPARITY, d.Parity);
    EXPECT_EQ(ONESTOPBIT, d.StopBits);
    EXPECT_EQ(1u, d.fBinary);
    EXPECT_EQ(0u, d.fParity | d.fOutxCtsFlow | d.fOutxDsrFlow | d.fDsrSensitivity);
    EXPECT_EQ(0u, d.fOutX | d.fInX | d.fErrorChar | d.fNull | d.fAbortOnError);
    EXPECT_EQ(static_cast<DWORD>(DTR_CONTROL_ENABLE), d.fDtrControl);
    EXPECT_EQ(static_cast<DWORD>(RTS_CONTROL_ENABLE), d.fRtsControl);
    EXPECT_EQ(0, d.ErrorChar);
    EXPECT_NE(d.XonChar, d.XoffChar);  // the system refuses equal ones
    const COMMTIMEOUTS& t = CKeptPort::timeouts;
    // The running link's reads wait for a first byte (at most a minute).
    EXPECT_EQ((std::vector<DWORD>{MAXDWORD, MAXDWORD, 60000, 0, 0}),
              (std::vector<DWORD>{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                                  t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}));

    // Frames full of 0x11 and 0x13 all arrive: routing key 17 (code 19), a
    // typed character (command 0x13) and a function key.
    ASSERT_TRUE(display.PressRoutingKey(0x13) && display.TypeCharacter('a') && display.PressFunctionKey(0x11));
    EXPECT_TRUE(testenv::WaitUntil([&] { return host.KeyCount() >= 2 && clock.keystrokes.size() >= 2; }, 3000));
    EXPECT_EQ((std::vector<std::pair<std::string, int32_t>>{{"Routing", 17}, {"SF1", 0}}), host.KeyPairs());
    EXPECT_EQ(2u, clock.keystrokes.size());
    driver.Terminate();

    // The real port as Wine shows it: a pty keeps the line settings the driver left.
    other = CreateFileA(("\\\\.\\" + cable.driverEnd).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    DCB real{};
    real.DCBlength = sizeof real;
    EXPECT_TRUE(GetCommState(other, &real));
    CloseHandle(other);
    EXPECT_EQ(0u, real.fOutX | real.fInX | real.fOutxCtsFlow);
    EXPECT_EQ(38400u, real.BaudRate);
}

TEST_F(SerialOpen, SecondOpenIsRefusedAndThePortStaysUsable) {
    HANDLE before = driverEnd.Handle();
    EXPECT_EQ(ERROR_ALREADY_INITIALIZED, driverEnd.Open(cable.driverEnd.c_str(), 0, 0, true));
    EXPECT_EQ(ERROR_ALREADY_INITIALIZED, driverEnd.LastError());
    EXPECT_EQ(before, driverEnd.Handle());
    EXPECT_EQ(ERROR_ALREADY_INITIALIZED, driverEnd.Open(cable.displayEnd.c_str(), 0, 0, false));
    EXPECT_EQ(before, driverEnd.Handle());
    EXPECT_TRUE(Carries(driverEnd, displayEnd, {0x01, 0x02, 0x03}));
}

TEST(SerialOpenName, BadNamesFailWithoutOpening) {
    CSerial port;
    // 59 characters still fit the device path; 60 do not. Names that fit but
    // name no port fail as the system says (0 here: any error but too long).
    const std::string sixty(60, 'X'), huge(5000, 'C'), fiftyNine(59, 'X');
    const std::pair<const char*, LONG> cases[] = {{sixty.c_str(), ERROR_FILENAME_EXCED_RANGE},
                                                  {huge.c_str(), ERROR_FILENAME_EXCED_RANGE},
                                                  {fiftyNine.c_str(), 0},
                                                  {nullptr, ERROR_INVALID_NAME},
                                                  {"COM250", 0}};
    for (const auto& [name, error] : cases) {
        const LONG result = port.Open(name, 0, 0, true);
        EXPECT_EQ(result, port.LastError());
        EXPECT_NE(0, result);
        EXPECT_TRUE(error ? result == error : result != ERROR_FILENAME_EXCED_RANGE) << result;
        EXPECT_FALSE(port.IsOpen());
    }
    EXPECT_EQ(0, port.Close());
}

TEST(SerialClosed, EveryOperationReportsTheMissingPort) {
    auto checkClosed = [](CSerial& port) {
        uint8_t buffer[4] = {9, 9, 9, 9};
        DWORD count = 77;
        OVERLAPPED record{};
        EXPECT_EQ(0, port.Close());
        EXPECT_EQ(0, port.LastError());
        int call = 0;  // the calls below, in order
        for (LONG result :
             {port.Configure(38400, 8, 0, 0), port.SetEventCharacter('A', true), port.SetEventMask(EV_RXCHAR),
              port.WaitForEvent(nullptr, 10), port.WaitForEvent(&record, INFINITE), port.SetHandshakeMode(1),
              port.SetHandshakeMode(3), port.SetReadMode(0), port.SetReadMode(7), port.Purge(), port.SendBreak()}) {
            EXPECT_EQ(ERROR_INVALID_HANDLE, result) << "call " << call;
            ++call;
        }
        for (auto getter : {&CSerial::GetBaudRate, &CSerial::GetDataBits, &CSerial::GetParity, &CSerial::GetStopBits,
                            &CSerial::GetHandshakeMode}) {
            EXPECT_EQ(-1, (port.*getter)());
            EXPECT_EQ(ERROR_INVALID_HANDLE, port.LastError());
        }
        EXPECT_EQ(0u, port.GetEventMask());
        EXPECT_EQ(ERROR_INVALID_HANDLE, port.LastError());
        EXPECT_EQ(0, port.GetEventCharacter());
        EXPECT_EQ(ERROR_INVALID_HANDLE, port.LastError());
        for (int transfer = 0; transfer < 3; ++transfer, count = 77) {
            EXPECT_EQ(ERROR_INVALID_HANDLE, transfer == 0   ? port.WriteString("abc", &count, nullptr, 1000)
                                            : transfer == 1 ? port.Write(buffer, 4, &count, nullptr, 1000)
                                                            : port.Read(buffer, 4, &count, nullptr, INFINITE));
            EXPECT_EQ(0u, count) << "transfer " << transfer;
        }
        EXPECT_EQ(9, buffer[0]);
        EXPECT_EQ(0u, port.GetLineErrors());
        EXPECT_EQ(ERROR_INVALID_HANDLE, port.LastError());
        for (auto line : {&CSerial::IsCtsOn, &CSerial::IsDsrOn, &CSerial::IsRingOn, &CSerial::IsCarrierOn}) {
            EXPECT_FALSE((port.*line)());
            EXPECT_EQ(ERROR_INVALID_HANDLE, port.LastError());
        }
        port.SetEventMask(0);  // sets lastError
        EXPECT_EQ(0u, port.TakeEvents());
        EXPECT_EQ(ERROR_INVALID_HANDLE, port.LastError());  // TakeEvents leaves it alone
    };

    CSerial fresh;
    checkClosed(fresh);

    REQUIRE_CABLE(cable, 0);
    CSerial reopened;
    ASSERT_EQ(0, reopened.Open(cable.driverEnd.c_str(), 0, 0, true));
    ASSERT_EQ(0, reopened.Close());
    EXPECT_FALSE(reopened.IsOpen());
    checkClosed(reopened);
    // The mask survives Close; a new Open sets it again.
    ASSERT_EQ(0, reopened.Open(cable.driverEnd.c_str(), 0, 0, true));
    EXPECT_EQ(0xC1u, reopened.GetEventMask());
}

TEST_F(SerialTransfer, BytesArriveIntactInBothDirections) {
    for (size_t size : {size_t{1}, size_t{1000}}) {
        EXPECT_TRUE(Carries(driverEnd, displayEnd, Pattern(3, size))) << size << " bytes to the display";
        EXPECT_TRUE(Carries(displayEnd, driverEnd, Pattern(100, size))) << size << " bytes from the display";
    }
    EXPECT_TRUE(ReadsNothingAtOnce(driverEnd)) << "nothing more than what was sent";

    DWORD count = 0;
    ASSERT_EQ(0, driverEnd.WriteString("KVR\x01", &count, nullptr, 1000));
    EXPECT_EQ(4u, count);
    EXPECT_EQ((Bytes{'K', 'V', 'R', 1}), ReadBytes(displayEnd, 4));
    EXPECT_EQ(0, driverEnd.WriteString("", &count, nullptr, 1000));
    EXPECT_EQ(0u, count);
}

TEST_F(SerialRead, ImmediateReadOnAnEmptyPortReturnsAtOnce) {
    EXPECT_TRUE(ReadsNothingAtOnce(driverEnd));

    // The identification polls 1000 times in about 3 s, a byte at a time.
    uint8_t buffer[80];
    DWORD count = 55;
    double start = NowMs();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(0, driverEnd.Read(buffer, 1, &count, nullptr, INFINITE));
        ASSERT_EQ(0u, count);
    }
    EXPECT_LT(NowMs() - start, 3000.0);

    // A finite time-out does not turn an immediate read into a waiting one.
    EXPECT_LT(Timed([&] { EXPECT_EQ(0, driverEnd.Read(buffer, sizeof buffer, nullptr, nullptr, 5000)); }), 2500.0);
}

TEST_F(SerialRead, ImmediateReadsLoseNoByteThatArrivesWhilePolling) {
    // The display sends while the driver polls; every cancelled empty read must
    // leave later bytes in the port.
    const int total = 400;
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        for (int i = 0; i < total; ++i) {
            uint8_t b = static_cast<uint8_t>(i);
            displayEnd.Write(&b, 1, nullptr, nullptr, 1000);
            if (i % 8 == 0) Sleep(1);
        }
        sent = true;
    });
    Bytes got;
    uint8_t buffer[80];
    double start = NowMs();
    while (got.size() < static_cast<size_t>(total) && NowMs() - start < 10000) {
        DWORD n = 0;
        if (driverEnd.Read(buffer, (got.size() % 3) ? 1 : sizeof buffer, &n, nullptr, INFINITE) != 0) break;
        got.insert(got.end(), buffer, buffer + n);
    }
    sender.join();
    EXPECT_TRUE(sent);
    ASSERT_EQ(static_cast<size_t>(total), got.size());
    for (int i = 0; i < total; ++i) ASSERT_EQ(static_cast<uint8_t>(i), got[i]) << "at " << i;
}

TEST_F(SerialRead, ImmediateReadOnADriverThatIgnoresTheModeNeitherWaitsNorLosesBytes) {
    // A serial driver that ignores the immediate mode, made by setting blocking
    // time-outs behind the wrapper's back: with 3 bytes queued, a read of 10
    // would wait for 7 more. It must come back at once with what had arrived,
    // and whatever it did not take must still be in the port.
    COMMTIMEOUTS blocking{};
    ASSERT_TRUE(SetCommTimeouts(driverEnd.Handle(), &blocking));

    for (unsigned round = 0; round < 20; ++round) {
        Bytes out = Pattern(21 + round, 3);
        ASSERT_EQ(0, displayEnd.Write(out.data(), 3, nullptr, nullptr, 1000));
        ASSERT_TRUE(testenv::WaitUntil([&] { return Queued(driverEnd) >= 3; }, 5000));
        uint8_t buffer[10];
        DWORD count = 99;
        EXPECT_LT(Timed([&] { EXPECT_EQ(0, driverEnd.Read(buffer, sizeof buffer, &count, nullptr, INFINITE)); }),
                  2000.0);
        ASSERT_LE(count, 3u);
        Bytes got(buffer, buffer + count);
        while (got.size() < 3) {
            ASSERT_EQ(0, driverEnd.Read(buffer, 3 - static_cast<DWORD>(got.size()), &count, nullptr, INFINITE));
            ASSERT_GT(count, 0u) << "a queued byte was lost";
            got.insert(got.end(), buffer, buffer + count);
        }
        ASSERT_EQ(out, got) << "round " << round;
    }
}

// Stands in for a serial driver whose queue count always says 0 or, with
// `failure` set, whose status query fails as on a pulled adapter.
struct StatusQuery {
    static inline DWORD failure = 0;
    decltype(CSerial::clearCommError) saved =
        std::exchange(CSerial::clearCommError, [](HANDLE, LPDWORD e, LPCOMSTAT s) {
            *e = 0;
            *s = COMSTAT{};
            SetLastError(failure);
            return BOOL{failure == 0};
        });
    ~StatusQuery() { CSerial::clearCommError = saved, failure = 0; }
};

TEST_F(SerialRead, ImmediateReadsDoNotRestOnTheQueueCountAlone) {
    StatusQuery query;
    const Bytes out = Pattern(31, 5);
    ASSERT_EQ(0, displayEnd.Write(out.data(), 5, nullptr, nullptr, 1000));
    EXPECT_EQ(Hex(out), Hex(ReadBytes(driverEnd, 5, 3000))) << "bytes behind a count of 0 were never read";
    uint8_t buffer[4];
    DWORD count = 0;
    StatusQuery::failure = ERROR_ACCESS_DENIED;  // a dead port: reported, not read through
    EXPECT_EQ(ERROR_ACCESS_DENIED, driverEnd.Read(buffer, sizeof buffer, &count, nullptr, INFINITE));
    EXPECT_TRUE(CSerial::IsPortFailure(driverEnd.LastError()));
}

// Stands in for a serial driver whose cancelled operations do not finish until
// data arrives or the port is closed.
struct CancelThatDoesNotFinish {
    decltype(CSerial::cancelIo) saved = std::exchange(CSerial::cancelIo, [](HANDLE) -> BOOL { return TRUE; });
    decltype(CSerial::cancelIoEx) savedEx =
        std::exchange(CSerial::cancelIoEx, [](HANDLE, OVERLAPPED*) -> BOOL { return TRUE; });
    ~CancelThatDoesNotFinish() {
        CSerial::cancelIo = saved;
        CSerial::cancelIoEx = savedEx;
    }
};

TEST_F(SerialRead, ReadWhoseCancelDoesNotFinishReturnsInBoundedTimeAndItsBytesComeLater) {
    ASSERT_EQ(0, driverEnd.SetReadMode(CSerial::ReadBlocking));
    uint8_t buffer[8];
    memset(buffer, 0xEE, sizeof buffer);
    DWORD count = 9;
    CancelThatDoesNotFinish stuck;
    const double took = Timed([&] { EXPECT_EQ(ERROR_TIMEOUT, driverEnd.Read(buffer, 4, &count, nullptr, 100)); });
    EXPECT_GE(took, 90.0);
    EXPECT_LT(took, 100.0 + CSerial::kCancelGraceMs + 2000.0);
    EXPECT_EQ(0u, count);

    // The abandoned read still holds the port's record: other transfers are
    // refused at once, a poll finds nothing.
    EXPECT_EQ(ERROR_BUSY, driverEnd.Write("x", 1, &count, nullptr, 1000));
    ASSERT_EQ(0, driverEnd.SetReadMode(CSerial::ReadImmediate));
    EXPECT_EQ(0, driverEnd.Read(buffer, 4, &count, nullptr, INFINITE));
    EXPECT_EQ(0u, count);

    // The display sends 6 bytes: the abandoned read takes 4, 2 stay queued.
    Bytes out = Pattern(77, 6);
    ASSERT_EQ(0, displayEnd.Write(out.data(), 6, nullptr, nullptr, 1000));
    ASSERT_TRUE(testenv::WaitUntil([&] { return Queued(driverEnd) == 2; }, 5000)) << Queued(driverEnd);
    // A read on a record of the caller's own would overtake those 4: refused.
    OVERLAPPED own{};
    EXPECT_EQ(ERROR_BUSY, driverEnd.Read(buffer, 4, &count, &own, INFINITE));
    // The next reads hand out the abandoned read's bytes first, then the rest.
    EXPECT_EQ(out, ReadBytes(driverEnd, 6));
    // The caller's buffer was never written behind its back.
    EXPECT_EQ(Bytes(8, 0xEE), Bytes(buffer, buffer + 8));

    EXPECT_TRUE(Carries(driverEnd, displayEnd, {0x31, 0x32})) << "the port is whole again";
}

TEST_F(SerialRead, ReadOnTheCallersRecordCompletesThroughThatRecord) {
    OwnRecord own;
    ASSERT_NE(nullptr, own.hEvent);
    uint8_t buffer[4];
    DWORD count = 9;
    // Done at once with what is there, or pending until bytes arrive (Wine).
    ASSERT_EQ(0, driverEnd.Read(buffer, sizeof buffer, &count, &own, INFINITE));
    Bytes out = Pattern(5, 4);
    ASSERT_EQ(0, displayEnd.Write(out.data(), 4, nullptr, nullptr, 1000));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(own.hEvent, 5000));
    DWORD got = 0;
    ASSERT_TRUE(GetOverlappedResult(driverEnd.Handle(), &own, &got, FALSE));
    ASSERT_LE(got, 4u);
    EXPECT_EQ(out, serialwire::Concat({Bytes(buffer, buffer + got), ReadBytes(driverEnd, 4 - got)}));
}

TEST_F(SerialLifetime, ClosingOrDestroyingWithAnAbandonedReadFreesThePort) {
    ASSERT_EQ(0, driverEnd.Close());
    HANDLE old;
    {
        CSerial scoped;
        ASSERT_EQ(0, scoped.Open(cable.driverEnd.c_str(), 0, 0, true));
        ASSERT_EQ(0, scoped.SetReadMode(CSerial::ReadBlocking));
        uint8_t buffer[4];
        CancelThatDoesNotFinish stuck;
        ASSERT_EQ(ERROR_TIMEOUT, scoped.Read(buffer, sizeof buffer, nullptr, nullptr, 50));
        EXPECT_LT(Timed([&] { EXPECT_EQ(0, scoped.Close()); }), CSerial::kCancelGraceMs + 2000.0);
        EXPECT_FALSE(scoped.IsOpen());
        // Open again on the same object: the old read is gone.
        ASSERT_EQ(0, scoped.Open(cable.driverEnd.c_str(), 0, 0, true));
        ASSERT_EQ(0, scoped.Purge());
        EXPECT_TRUE(Carries(displayEnd, scoped, {0x41}));
        // Destroyed with a read abandoned once more.
        ASSERT_EQ(0, scoped.SetReadMode(CSerial::ReadBlocking));
        ASSERT_EQ(ERROR_TIMEOUT, scoped.Read(buffer, sizeof buffer, nullptr, nullptr, 50));
        old = scoped.Handle();
    }
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(old, &flags));
    CSerial again;
    ASSERT_EQ(0, again.Open(cable.driverEnd.c_str(), 0, 0, true));
    ASSERT_EQ(0, again.Purge());
    EXPECT_TRUE(Carries(again, displayEnd, {0x10, 0x20}));
}

TEST_F(SerialRead, ReadTakesAtMostItsBufferAndLeavesTheRestQueued) {
    Bytes out = Pattern(40, 10);
    ASSERT_EQ(0, displayEnd.Write(out.data(), 10, nullptr, nullptr, 1000));
    ASSERT_TRUE(testenv::WaitUntil([&] { return Queued(driverEnd) >= 10; }, 5000));

    uint8_t buffer[16];
    memset(buffer, 0xEE, sizeof buffer);
    DWORD count = 0;
    ASSERT_EQ(0, driverEnd.Read(buffer, 4, &count, nullptr, INFINITE));
    ASSERT_EQ(4u, count);
    EXPECT_EQ(0, memcmp(buffer, out.data(), 4));
    EXPECT_EQ(0xEE, buffer[4]);
    EXPECT_EQ(6, Queued(driverEnd));

    ASSERT_EQ(0, driverEnd.Read(buffer, 1, &count, nullptr, INFINITE));
    ASSERT_EQ(1u, count);
    EXPECT_EQ(out[4], buffer[0]);
    ASSERT_EQ(0, driverEnd.Read(buffer, sizeof buffer, &count, nullptr, INFINITE));
    ASSERT_EQ(5u, count);
    EXPECT_EQ(0, memcmp(buffer, out.data() + 5, 5));
}

TEST_F(SerialRead, BlockingModeWaitsForTheWholeCountOrTimesOut) {
    ASSERT_EQ(0, driverEnd.SetReadMode(CSerial::ReadBlocking));
    COMMTIMEOUTS timeouts;
    ASSERT_TRUE(GetCommTimeouts(driverEnd.Handle(), &timeouts));
    EXPECT_EQ(0u, timeouts.ReadIntervalTimeout);

    uint8_t buffer[4];
    DWORD count = 9;
    const double waited = Timed([&] { EXPECT_EQ(ERROR_TIMEOUT, driverEnd.Read(buffer, 4, &count, nullptr, 300)); });
    EXPECT_EQ(ERROR_TIMEOUT, driverEnd.LastError());
    EXPECT_EQ(0u, count);
    EXPECT_GE(waited, 250.0);
    EXPECT_LT(waited, 5000.0);
    // A read that times out with part of its bytes hands them over.
    const Bytes part = Pattern(8, 2);
    ASSERT_EQ(0, displayEnd.Write(part.data(), 2, nullptr, nullptr, 1000));
    EXPECT_EQ(ERROR_TIMEOUT, driverEnd.Read(buffer, 4, &count, nullptr, 300));
    EXPECT_EQ(Hex(part), Hex(Bytes(buffer, buffer + std::min<DWORD>(count, 4))));

    Bytes out = Pattern(9, 4);
    std::thread sender([&] {
        Sleep(50);
        for (uint8_t b : out) displayEnd.Write(&b, 1, nullptr, nullptr, 1000);
    });
    EXPECT_EQ(0, driverEnd.Read(buffer, 4, &count, nullptr, 5000));
    sender.join();
    EXPECT_EQ(4u, count);
    EXPECT_EQ(0, memcmp(buffer, out.data(), 4));

    ASSERT_EQ(0, driverEnd.SetReadMode(CSerial::ReadImmediate));
    EXPECT_TRUE(ReadsNothingAtOnce(driverEnd));
}

TEST_F(SerialModes, HandshakeModesAndOutOfRangeModesChangeNothing) {
    ASSERT_EQ(0, driverEnd.SetHandshakeMode(CSerial::HandshakeSoftware));
    EXPECT_EQ(CSerial::HandshakeSoftware, driverEnd.GetHandshakeMode());
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(driverEnd.Handle(), &dcb));
    EXPECT_TRUE(dcb.fOutX && dcb.fInX);
    EXPECT_FALSE(dcb.fOutxCtsFlow);

    for (int bad : {3, -1, 1000}) {
        EXPECT_EQ(CSerial::kInvalidArgument, driverEnd.SetHandshakeMode(bad));
        EXPECT_EQ(CSerial::kInvalidArgument, driverEnd.LastError());
        EXPECT_EQ(CSerial::HandshakeSoftware, driverEnd.GetHandshakeMode());
    }
    ASSERT_EQ(0, driverEnd.SetHandshakeMode(CSerial::HandshakeOff));
    EXPECT_EQ(CSerial::HandshakeOff, driverEnd.GetHandshakeMode());

    for (int bad : {2, -1}) {
        EXPECT_EQ(CSerial::kInvalidArgument, driverEnd.SetReadMode(bad));
        EXPECT_EQ(CSerial::kInvalidArgument, driverEnd.LastError());
    }
    COMMTIMEOUTS timeouts;
    ASSERT_TRUE(GetCommTimeouts(driverEnd.Handle(), &timeouts));
    EXPECT_EQ(MAXDWORD, timeouts.ReadIntervalTimeout);
    EXPECT_TRUE(ReadsNothingAtOnce(driverEnd));

    // The line settings are left as they were by the modes.
    EXPECT_EQ(38400, driverEnd.GetBaudRate());
    EXPECT_EQ(8, driverEnd.GetDataBits());
}

TEST_F(SerialModes, PortWithoutOverlappedIoAllowsOnlyUntimedCalls) {
    ASSERT_EQ(0, driverEnd.Close());
    ASSERT_EQ(0, driverEnd.Open(cable.driverEnd.c_str(), 0, 0, false));
    ASSERT_EQ(0, driverEnd.Configure(38400, 8, 0, 0));
    ASSERT_EQ(0, driverEnd.Purge());

    const uint8_t lost[] = {0x55, 0x66};
    DWORD count = 7;
    EXPECT_EQ(ERROR_INVALID_FUNCTION, driverEnd.Write(lost, 2, &count, nullptr, 1000));
    EXPECT_EQ(0u, count);
    OwnRecord record;
    EXPECT_EQ(ERROR_INVALID_FUNCTION, driverEnd.Write(lost, 2, &count, &record, INFINITE));
    uint8_t buffer[8];
    EXPECT_EQ(ERROR_INVALID_FUNCTION, driverEnd.Read(buffer, 8, &count, nullptr, 1000));
    EXPECT_EQ(ERROR_INVALID_FUNCTION, driverEnd.Read(buffer, 8, &count, &record, INFINITE));
    EXPECT_EQ(ERROR_INVALID_FUNCTION, driverEnd.WaitForEvent(nullptr, 100));
    EXPECT_EQ(ERROR_INVALID_FUNCTION, driverEnd.LastError());

    // Untimed calls without a record run synchronously; the refused write sent nothing.
    EXPECT_TRUE(ReadsNothingAtOnce(driverEnd));
    const uint8_t marker[] = {0xA5, 0x5A};
    ASSERT_EQ(0, driverEnd.Write(marker, 2, &count, nullptr, INFINITE));
    EXPECT_EQ(2u, count);
    EXPECT_EQ((Bytes{0xA5, 0x5A}), ReadBytes(displayEnd, 2));
    EXPECT_TRUE(Carries(displayEnd, driverEnd, {0x55, 0x66}));
}

TEST_F(SerialModes, NullBufferIsRefusedWithoutIo) {
    DWORD count = 3;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, driverEnd.Read(nullptr, 10, &count, nullptr, INFINITE));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, driverEnd.Write(nullptr, 10, &count, nullptr, 1000));
    EXPECT_EQ(0, driverEnd.WriteString(nullptr, &count, nullptr, 1000));
    EXPECT_EQ(0u, count);
}

TEST_F(SerialEvents, WaitForEventNeverReportsSuccessWithoutAnEvent) {
    // Under Wine a pty cannot deliver line events: the wait ends at once as
    // aborted (995) because the pty has no modem lines. Whatever the port
    // does, success must come with an event and a failure with its error.
    std::thread sender([&] {
        Sleep(50);
        displayEnd.Write("\x42", 1, nullptr, nullptr, 1000);
    });
    LONG result = driverEnd.WaitForEvent(nullptr, 5000);
    sender.join();
    EXPECT_EQ(result, driverEnd.LastError());
    if (result == 0) {
        EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR), driverEnd.TakeEvents() & EV_RXCHAR);
    } else {
        EXPECT_NE(ERROR_IO_PENDING, result);
    }
    EXPECT_EQ(0u, driverEnd.TakeEvents());
    // The byte itself is untouched by the wait.
    EXPECT_EQ((Bytes{0x42}), ReadBytes(driverEnd, 1));

    // On the caller's own record the wait is left to the caller.
    OwnRecord record;
    EXPECT_EQ(0, driverEnd.WaitForEvent(&record, INFINITE));
    ASSERT_EQ(0, displayEnd.Write("\x43", 1, nullptr, nullptr, 1000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(record.hEvent, 5000));
    DWORD ignored = 0;
    if (!GetOverlappedResult(driverEnd.Handle(), &record, &ignored, TRUE)) CancelIo(driverEnd.Handle());
    EXPECT_EQ((Bytes{0x43}), ReadBytes(driverEnd, 1));
}

TEST_F(SerialEvents, MaskAndEventCharacterSettings) {
    ASSERT_EQ(0, driverEnd.SetEventMask(EV_BREAK));
    EXPECT_EQ(static_cast<DWORD>(EV_BREAK), driverEnd.GetEventMask());
    ASSERT_EQ(0, driverEnd.SetEventCharacter('Z', true));
    EXPECT_EQ(static_cast<DWORD>(EV_BREAK | EV_RXFLAG), driverEnd.GetEventMask());
    // (Wine does not keep the event character of a pty, so it is not read back.)
    ASSERT_EQ(0, driverEnd.SetEventCharacter('Y', false));
    EXPECT_EQ(static_cast<DWORD>(EV_BREAK | EV_RXFLAG), driverEnd.GetEventMask());
}

TEST_F(SerialEvents, BreakTakesAboutATenthOfASecondAndPtyHasNoModemLines) {
    EXPECT_EQ(0u, driverEnd.GetLineErrors());
    const double took = Timed([&] { EXPECT_EQ(0, driverEnd.SendBreak()); });
    EXPECT_GE(took, 90.0);
    EXPECT_LT(took, 5000.0);
    Drain(displayEnd);  // a break may reach the other end as a NUL byte

    // A pty has no modem lines: the query fails and every line reads as off.
    for (auto line : {&CSerial::IsCtsOn, &CSerial::IsDsrOn, &CSerial::IsRingOn, &CSerial::IsCarrierOn})
        EXPECT_TRUE(!(driverEnd.*line)() || driverEnd.LastError() == 0);
}

TEST_F(SerialLifetime, ClosePurgesAndReleasesTheHandle) {
    Bytes out = Pattern(1, 6);
    ASSERT_EQ(0, displayEnd.Write(out.data(), 6, nullptr, nullptr, 1000));
    ASSERT_TRUE(testenv::WaitUntil([&] { return Queued(driverEnd) >= 6; }, 5000));

    HANDLE old = driverEnd.Handle();
    EXPECT_EQ(0, driverEnd.Close());
    EXPECT_FALSE(driverEnd.IsOpen());
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(old, &flags));
    EXPECT_EQ(0, driverEnd.Close());

    ASSERT_EQ(0, driverEnd.Open(cable.driverEnd.c_str(), 0, 0, true));
    EXPECT_TRUE(ReadsNothingAtOnce(driverEnd)) << "the bytes that were queued went with the purge";
}

TEST_F(SerialLifetime, QueuedBytesSurviveAPlainHandleClose) {
    // Control for the purge above: without it, queued bytes outlive the handle.
    ASSERT_EQ(0, driverEnd.Close());
    std::string path = "\\\\.\\" + cable.driverEnd;
    HANDLE raw = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, raw);
    Bytes out = Pattern(2, 6);
    ASSERT_EQ(0, displayEnd.Write(out.data(), 6, nullptr, nullptr, 1000));
    COMSTAT status{};
    DWORD errors = 0;
    ASSERT_TRUE(testenv::WaitUntil([&] { return ClearCommError(raw, &errors, &status) && status.cbInQue >= 6; }, 5000));
    CloseHandle(raw);
    ASSERT_EQ(0, driverEnd.Open(cable.driverEnd.c_str(), 0, 0, true));
    EXPECT_EQ(out, ReadBytes(driverEnd, 6));
}

TEST_F(SerialStall, WriteWhoseCancelDoesNotFinishSendsOnlyWhatItWasGiven) {
    // A write the other end stalls, with a cancel that does nothing: the call
    // returns in bounded time, and the caller may reuse or free its buffer at
    // once, since the port sends from the wrapper's own copy.
    const DWORD size = 1024 * 1024;
    DWORD count = 0;
    {
        CancelThatDoesNotFinish stuck;
        auto out = std::make_unique<Bytes>(size, 0x5A);
        EXPECT_LT(Timed([&] { EXPECT_EQ(ERROR_TIMEOUT, driverEnd.Write(out->data(), size, &count, nullptr, 300)); }),
                  300.0 + CSerial::kCancelGraceMs + 5000.0);
        std::fill(out->begin(), out->end(), 0xA5);
        out.reset();
        EXPECT_EQ(ERROR_BUSY, driverEnd.Write("x", 1, &count, nullptr, 1000));
    }

    // The other end takes what comes: nothing but the bytes the write was given.
    const Bytes received = Drain(displayEnd, 30000);
    EXPECT_GT(received.size(), 0u);
    EXPECT_EQ(0, std::count_if(received.begin(), received.end(), [](uint8_t b) { return b != 0x5A; }));

    // The abandoned write is collected by the next call; the port works.
    ASSERT_EQ(0, displayEnd.Purge());
    EXPECT_TRUE(Carries(driverEnd, displayEnd, {1, 2, 3}));
}

TEST_F(SerialStall, StalledWriteIsCancelledAtItsTimeout) {
    // The other end reads nothing until the pty and relay buffers are full, so
    // a large write cannot complete.
    const DWORD size = 4 * 1024 * 1024;
    Bytes out(size, 0x5A);
    DWORD count = 0;
    const double took =
        Timed([&] { EXPECT_EQ(ERROR_TIMEOUT, driverEnd.Write(out.data(), size, &count, nullptr, 500)); });
    EXPECT_EQ(ERROR_TIMEOUT, driverEnd.LastError());
    EXPECT_LT(count, size);
    EXPECT_GE(took, 450.0);
    EXPECT_LT(took, 10000.0);

    // Once the other end has taken what got through, the port works as before.
    Drain(displayEnd);
    ASSERT_EQ(0, driverEnd.Purge());
    ASSERT_EQ(0, displayEnd.Purge());
    EXPECT_TRUE(Carries(driverEnd, displayEnd, {1, 2, 3}));
}
