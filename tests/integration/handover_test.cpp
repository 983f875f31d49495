// Port handover through real file mappings: the test (or handover.exe in a
// process of its own) plays the other program, creates "tq715sharemem" and
// drives its word, while a handover object or a driver made here is ticked.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "display_sim.h"
#include "driver/driver.h"
#include "handover/handover.h"
#include "support/cable_end.h"
#include "support/child_process.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/test_env.h"
// After windows.h, which it builds on.
#include <sddl.h>

using Bytes = std::vector<uint8_t>;

namespace {

constexpr char kSectionName[] = "tq715sharemem";
constexpr size_t kViewSize = 255;  // what the driver maps

// The other program's end: creates the section and reads and writes its words.
class CSection {
public:
    // `security`, in SDDL, is what the other program grants others.
    explicit CSection(DWORD size = 256, DWORD protect = PAGE_READWRITE, const char* security = nullptr) {
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
        if (security)
            ConvertStringSecurityDescriptorToSecurityDescriptorA(security, SDDL_REVISION_1,
                                                                 &attributes.lpSecurityDescriptor, nullptr);
        mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, protect, 0, size, kSectionName);
        fresh = mapping && GetLastError() != ERROR_ALREADY_EXISTS;
        LocalFree(attributes.lpSecurityDescriptor);
        if (mapping && !(protect & SEC_RESERVE)) view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
        if (view) std::memset(view, 0xA5, size);  // bytes nobody should touch
        if (view) Set(-1);
    }
    ~CSection() { Close(); }
    CSection(const CSection&) = delete;
    CSection& operator=(const CSection&) = delete;

    bool Ok() const { return mapping && view; }
    // Made here, not left over from another test.
    bool Fresh() const { return fresh; }
    void Close() {
        if (view) UnmapViewOfFile(view);
        if (mapping) CloseHandle(mapping);
        view = nullptr;
        mapping = nullptr;
    }
    const void* View() const { return view; }
    LONG Word(size_t index = 0) const { return static_cast<volatile LONG*>(view)[index]; }
    void Set(LONG value) { static_cast<volatile LONG*>(view)[0] = value; }
    // Writes the word, lets the driver tick and returns the word it leaves.
    LONG Answer(LONG value, int ticks = 1) {
        Set(value);
        for (int i = 0; i < ticks; ++i) tick();
        return Word();
    }
    // Asks for the port; returns the word and the two version values after a tick.
    std::vector<LONG> Lend() {
        Answer(101);
        return {Word(0), Word(1), Word(2)};
    }
    Bytes Tail() const {  // bytes 12 to 254, which belong to the other program
        const uint8_t* bytes = static_cast<const uint8_t*>(view);
        return Bytes(bytes + 12, bytes + 255);
    }

    std::function<void()> tick;  // one tick of the driver's side

private:
    HANDLE mapping = nullptr;
    void* view = nullptr;
    bool fresh = false;
};

bool SectionExists() { return static_cast<bool>(CHandle(OpenFileMappingA(FILE_MAP_READ, FALSE, kSectionName))); }

// The word as a third program reads it; -2 without a section.
LONG SectionWord() {
    CHandle mapping(OpenFileMappingA(FILE_MAP_READ, FALSE, kSectionName));
    void* view = mapping ? MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, sizeof(LONG)) : nullptr;
    const LONG word = view ? *static_cast<volatile LONG*>(view) : -2;
    if (view) UnmapViewOfFile(view);
    return word;
}

// The driver's own view of the section: the mapped region, other than the
// section's view, whose bytes are the section's.
void* DriversView(const CSection& section) {
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY;
    MEMORY_BASIC_INFORMATION info;
    for (const char* at = nullptr; VirtualQuery(at, &info, sizeof info) == sizeof info;
         at = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
        if (info.Type == MEM_MAPPED && info.State == MEM_COMMIT && (info.Protect & readable) &&
            !(info.Protect & PAGE_GUARD) && info.BaseAddress != section.View() && info.RegionSize >= kViewSize &&
            std::memcmp(info.BaseAddress, section.View(), kViewSize) == 0)
            return info.BaseAddress;
    }
    return nullptr;
}

void Ticks(CBrailleSampleDriver& driver, int n) {
    for (int i = 0; i < n; ++i) driver.PollTick();
}

// The handover ticked as the driver ticks it, a lend answered at once.
class HandoverWord : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(SectionExists()) << "a section is left over from another test"; }
    // Keeps the request of the last tick.
    void Tick(int n = 1) {
        for (int i = 0; i < n; ++i) {
            request = handover.Service(portNumber);
            if (request == CHandover::Request::Lend) handover.AnswerLend(version);
        }
    }
    // Attach and publish, as the other program expects to find the driver.
    void Attach(CSection& section) {
        ASSERT_TRUE(section.Ok());
        section.tick = [this] { Tick(); };
        Tick(2);
        ASSERT_EQ(portNumber, section.Word());
    }

    int32_t portNumber = 7;
    uint8_t version[2] = {0x81, 0xFE};  // high bits set: the values are zero-extended
    CHandover handover;
    CHandover::Request request = CHandover::Request::None;
};
using Request = CHandover::Request;

TEST_F(HandoverWord, AttachesOnTheNextTickAndPublishesOnTheTickAfter) {
    Tick(3);  // no section yet: tried every tick, silently
    EXPECT_EQ(Request::None, request);

    CSection section;
    ASSERT_TRUE(section.Ok());
    section.tick = [this] { Tick(); };
    const Bytes tail = section.Tail();
    Tick();
    EXPECT_EQ(-1, section.Word());  // a fresh section's word waits for the next tick
    Tick();
    // Versions go out with a lend answer only; the rest is never touched.
    EXPECT_EQ((std::vector<LONG>{7, LONG(0xA5A5A5A5), LONG(0xA5A5A5A5)}),
              (std::vector<LONG>{section.Word(0), section.Word(1), section.Word(2)}));
    EXPECT_EQ(tail, section.Tail());

    // Anything below 200 that is not a request is the driver's to overwrite.
    for (LONG w : {LONG(0), LONG(-1), LONG(102), LONG(150), LONG(199), LONG(INT_MIN)}) {
        EXPECT_EQ(7, section.Answer(w)) << "word was " << w;
        EXPECT_EQ(Request::None, request);
        EXPECT_FALSE(handover.Lent());
    }
}

// A port number that reads as a request or restore would set off a handover
// nobody asked for; such numbers are published as 0.
TEST_F(HandoverWord, PortNumbersThatCollideWithTheProtocolArePublishedAsZero) {
    CSection section;
    Attach(section);
    // Each tick checked on its own: a number taken for a restore on one tick
    // is re-attached and republished by the next, and would hide.
    for (int32_t n : {101, 102, 200, 250, INT_MAX, -3}) {
        portNumber = n;
        for (int tick = 0; tick < 3; ++tick) {
            Tick();
            EXPECT_EQ(0, section.Word()) << "COM" << n << ", tick " << tick;
            EXPECT_EQ(Request::None, request) << "COM" << n << ", tick " << tick;  // no lend, no restore
            EXPECT_FALSE(handover.Lent()) << "COM" << n << ", tick " << tick;
        }
    }
    for (int32_t n : {1, 100, 103, 199}) {
        portNumber = n;
        Tick();
        EXPECT_EQ(n, section.Word());
    }
}

// A new start (TakeBackGivenWhileStopped) takes back a port given back
// meanwhile; one still lent stays with its borrower.
TEST_F(HandoverWord, LendAnswersWithVersionsAndIgnoresTheWordUntilRestored) {
    CSection section;
    Attach(section);
    const Bytes tail = section.Tail();
    section.Set(205);
    handover.TakeBackGivenWhileStopped();  // nothing lent: not the start's to take
    EXPECT_EQ(205, section.Word());

    EXPECT_EQ((std::vector<LONG>{102, 0x81, 0xFE}), section.Lend());
    EXPECT_EQ(Request::Lend, request);
    EXPECT_TRUE(handover.Lent());

    // While lent, any value below 200 is left as the other program wrote it.
    for (LONG w : {LONG(102), LONG(101), LONG(7), LONG(-1), LONG(0), LONG(199)}) {
        EXPECT_EQ(w, section.Answer(w, 2));
        EXPECT_TRUE(handover.Lent());
    }

    // 301 gives back with x = 101: after re-attaching, that is a new request.
    EXPECT_EQ(101, section.Answer(301));
    EXPECT_EQ(Request::GivenBack, request);
    EXPECT_FALSE(handover.Lent());
    Tick();  // detached after every restore: this tick only attaches again
    EXPECT_EQ(101, section.Word());
    Tick();
    EXPECT_EQ(102, section.Word());
    handover.TakeBackGivenWhileStopped();
    EXPECT_TRUE(handover.Lent());

    // The largest word is a restore too, without overflow.
    section.Set(INT_MAX);
    handover.TakeBackGivenWhileStopped();
    EXPECT_FALSE(handover.Lent());
    Tick();  // let go: this tick only attaches again
    EXPECT_EQ(INT_MAX - 200, section.Word());
    EXPECT_EQ(tail, section.Tail());
}

// The other program may make a section the driver cannot serve. The driver
// must not fault on it, nor hold it, or a good one could never be made under
// that name. A good one may grant only reading and writing, not the rights to
// delete it or change its security, as a borrower that secures it does.
TEST_F(HandoverWord, UnusableSectionIsLetGoAndAGoodOneServedLater) {
    {
        CSection reserved(4096, PAGE_READWRITE | SEC_RESERVE);  // mapped pages are not committed
        ASSERT_TRUE(SectionExists());
        Tick(3);
    }
    EXPECT_FALSE(SectionExists());

    CSection good(256, PAGE_READWRITE, "D:P(A;;GRGW;;;WD)");
    Attach(good);
    EXPECT_EQ(102, good.Answer(101));
}

// The other program writes at any moment, also between the driver's read of
// the word and its write. Made to happen exactly there: the driver's view is
// read-only, and the fault of its write lets "the other program" write 101
// before the write is retried.
struct CWriteTrap {
    static inline void* view = nullptr;       // the driver's view of the word
    static inline CSection* other = nullptr;  // the other program's view
    static inline int fired = 0;
    static LONG CALLBACK Handler(EXCEPTION_POINTERS* info) {
        const EXCEPTION_RECORD* record = info->ExceptionRecord;
        if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2 ||
            reinterpret_cast<void*>(record->ExceptionInformation[1]) != view)
            return EXCEPTION_CONTINUE_SEARCH;
        ++fired;
        other->Set(101);
        DWORD old = 0;
        VirtualProtect(view, 4, PAGE_READWRITE, &old);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
};

TEST_F(HandoverWord, RequestWrittenBetweenTheDriversReadAndWriteIsNotLost) {
    CSection section;
    Attach(section);
    section.Set(-1);  // the driver will want to publish over this
    CWriteTrap::view = DriversView(section);
    ASSERT_NE(nullptr, CWriteTrap::view);
    CWriteTrap::other = &section;
    CWriteTrap::fired = 0;
    void* handler = AddVectoredExceptionHandler(1, CWriteTrap::Handler);
    ASSERT_NE(nullptr, handler);
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(CWriteTrap::view, 4, PAGE_READONLY, &old));
    Tick();
    RemoveVectoredExceptionHandler(handler);
    VirtualProtect(CWriteTrap::view, 4, PAGE_READWRITE, &old);

    ASSERT_EQ(1, CWriteTrap::fired);
    EXPECT_EQ(101, section.Word());
    Tick();
    EXPECT_EQ(102, section.Word());
    EXPECT_TRUE(handover.Lent());
}

TEST_F(HandoverWord, DestroyedHandoverReleasesViewAndHandle) {
    CSection section;
    void* view = nullptr;
    {
        CHandover other;
        other.Service(0);
        view = DriversView(section);
        ASSERT_NE(nullptr, view);
        // While the handover holds it, the section outlives its creator's handle.
        section.Close();
        EXPECT_TRUE(SectionExists());
    }
    EXPECT_FALSE(SectionExists());
    MEMORY_BASIC_INFORMATION info;
    ASSERT_EQ(sizeof info, VirtualQuery(view, &info, sizeof info));
    EXPECT_EQ(DWORD(MEM_FREE), info.State);
}

// ---------------------------------------------------------------- serial link

// The driver on one end of a virtual cable, the simulated display on the other.
// The driver has opened its port and published its number.
class HandoverSerial : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_CABLE(cable, 0);
        ASSERT_TRUE(section.Ok() && section.Fresh()) << "a section is left over from another test";
        section.tick = [this] { driver.PollTick(); };
        clock.UseRealClock(true);
        sim::CSimDisplay::Options options;
        options.version[0] = 0x81;
        options.version[1] = 0xFE;
        ASSERT_TRUE(display.Open(cable.displayEnd.c_str(), options));
        portNumber = std::atoi(cable.driverEnd.c_str() + 3);
        ASSERT_EQ(1, driver.OpenDevice(cable.driverEnd.c_str()));
        ASSERT_TRUE(display.WaitForIdentifyDone(1, 3000));
        Ticks(driver, 2);
        ASSERT_EQ(portNumber, section.Word());
    }
    void TearDown() override {
        driver.CloseDevice();
        display.Close();
    }
    // The other program gives the port back (x = 5).
    void Restore() { EXPECT_EQ(5, section.Answer(205)); }
    // The driver has let go of its port: another program can open it.
    bool PortFree() { return testenv::CCableEnd(cable.driverEnd).IsOpen(); }
    uint32_t IdentifyRequests() { return display.GetCounters().identifyRequests; }
    // What the host writes reaches the display, at once or once the driver's
    // search has found the display again.
    void ExpectDisplayShows(uint8_t seed) {
        display.SetSilent(false);
        clock.SetAutoAdvance(0);
        clock.UseRealClock(true);
        const Bytes text = testenv::Pattern(seed);
        driver.SendTextCells(text.data(), 40);
        EXPECT_TRUE(testenv::TickUntil(
            driver, [&] { return display.HostTextCells() == text; }, 5000))
            << display.RenderLine();
    }

    testenv::Cable cable;
    int portNumber = 0;
    CTestClock clock;
    CBrailleSampleDriver driver{clock};
    sim::CSimDisplay display;
    CSection section;
};

TEST_F(HandoverSerial, LendClosesThePortForTheBorrowerAndRestoreReopensIt) {
    ExpectDisplayShows(1);
    EXPECT_EQ((std::vector<LONG>{102, 0x81, 0xFE}), section.Lend());

    // The borrower talks to the display on the driver's port.
    const sim::Counters before = display.GetCounters();
    {
        testenv::CCableEnd borrower(cable.driverEnd);
        ASSERT_TRUE(borrower.IsOpen());
        // The display's answers to the driver (the acknowledgement of its last
        // frame) can still be on their way: let them pass first.
        borrower.Drain(300);
        ASSERT_TRUE(borrower.Send(serialwire::kIdentifyRequest));
        const Bytes expected =
            serialwire::Concat({serialwire::kAck, serialwire::Frame(0x25, {40, 0, 0, 0, 0x81, 0xFE})});
        EXPECT_EQ(serialwire::Hex(expected), serialwire::Hex(borrower.Receive(expected.size(), 3000)));
        borrower.Send(serialwire::kAck);  // acknowledge the identity, as the display expects
        display.WaitForAcksReceived(before.acksReceived + 1, 2000);
    }
    const sim::Counters lent = display.GetCounters();
    EXPECT_EQ(before.identifyRequests + 1, lent.identifyRequests);

    // Lent: host writes and ticks reach nothing.
    const Bytes text(40, 0x3F);
    driver.SendTextCells(text.data(), 40);
    Ticks(driver, 5);
    EXPECT_FALSE(display.WaitFor([&] { return display.GetCounters().framesReceived != lent.framesReceived; }, 300));
    EXPECT_TRUE(PortFree());

    Restore();
    // Back, the display shows what the host wrote meanwhile, without a new write.
    EXPECT_TRUE(display.WaitFor([&] { return display.HostTextCells() == text; }, 3000)) << display.RenderLine();
    EXPECT_EQ(lent.identifyRequests + 1, IdentifyRequests());
    driver.PollTick();  // re-attached
    EXPECT_EQ(5, section.Word());
    driver.PollTick();
    EXPECT_EQ(portNumber, section.Word());
    ExpectDisplayShows(9);
}

// A restore nobody asked for must not break a working link, nor open a link
// that was not lent.
TEST_F(HandoverSerial, RestoreWithoutALendKeepsTheLinkAsItIs) {
    const uint32_t requests = IdentifyRequests();
    Restore();
    EXPECT_EQ(requests, IdentifyRequests());
    ExpectDisplayShows(3);

    driver.CloseDevice();
    Ticks(driver, 2);
    ASSERT_EQ(portNumber, section.Word());
    section.Answer(205);
    EXPECT_TRUE(PortFree());
    EXPECT_EQ(requests, IdentifyRequests());
}

// The display does not answer when the port comes back (the borrower left it
// off, say): the driver looks for it once a second instead of staying closed.
TEST_F(HandoverSerial, DisplayAwayAtTheRestoreIsLookedForUntilItAnswers) {
    ASSERT_EQ(102, section.Answer(101));
    display.SetSilent(true);
    clock.UseRealClock(false);
    clock.SetAutoAdvance(1);  // the unanswered identification ends at once
    Restore();
    ExpectDisplayShows(4);
}

// The host suspended the driver: its port is already closed. The lend is
// answered, and the restore leaves the port to the host's resume.
TEST_F(HandoverSerial, LendAndRestoreWhileTheHostHasSuspendedTheDriver) {
    driver.CarryOutSuspend(1);
    EXPECT_EQ(102, section.Answer(101));

    const uint32_t requests = IdentifyRequests();
    Restore();
    EXPECT_TRUE(PortFree());
    EXPECT_EQ(requests, IdentifyRequests());

    driver.CarryOutSuspend(0);  // the host's resume
    ExpectDisplayShows(7);
}

// After the display stopped answering the driver probes its port once a
// second; a lent port belongs to the borrower and is not probed.
TEST_F(HandoverSerial, LentPortIsNotProbedAndTheProbeResumesAfterTheRestore) {
    ExpectDisplayShows(1);
    clock.UseRealClock(false);
    clock.Set(50000);
    display.SetSilent(true);
    const uint32_t answered = IdentifyRequests();
    const Bytes text(40, 0x01);
    for (int i = 0; i < 8; ++i) {  // frames time out until the driver looks for the display
        driver.SendTextCells(text.data(), 40);
        clock.Advance(401);
        driver.PollTick();
    }
    clock.Advance(1000);
    driver.PollTick();  // the probe opens the port and asks
    ASSERT_TRUE(display.WaitForIdentifyRequests(answered + 1, 2000));

    EXPECT_EQ(102, section.Answer(101));
    EXPECT_TRUE(PortFree());
    const uint32_t requests = IdentifyRequests();
    for (int i = 0; i < 5; ++i) {
        clock.Advance(1000);
        driver.PollTick();
    }
    EXPECT_TRUE(PortFree());
    EXPECT_FALSE(display.WaitFor([&] { return IdentifyRequests() != requests; }, 300));

    // Given back while the display is still away: the probe resumes the link
    // once the display answers.
    Restore();
    ExpectDisplayShows(2);
}

// ---------------------------------------------------------------- USB link

// A HID bus whose serial ports are never there; counts the tries to open one.
class CBusWithoutPorts : public CFakeHidPlatform {
public:
    HANDLE SerialOpen(const char*, DWORD) override {
        ++serialOpens;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::atomic<int> serialOpens{0};
};

// The driver on a USB display, attached and published.
class HandoverUsb : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(section.Ok() && section.Fresh()) << "a section is left over from another test";
        section.tick = [this] { driver.PollTick(); };
        ASSERT_EQ(1, driver.OpenDevice(""));
        Ticks(driver, 2);
        EXPECT_EQ(0, section.Word());  // no serial identification has run
    }
    void TearDown() override {
        driver.CloseDevice();
        EXPECT_EQ(0u, bus.OpenHandleCount());
        EXPECT_EQ(0u, bus.Misuses());
    }
    CBusWithoutPorts bus;
    const int device = bus.AddDevice();
    CBrailleSampleDriver driver{bus};
    CSection section;
};

// Only the serial port is lent: a USB display keeps its keys, acknowledgements
// and frames meanwhile.
TEST_F(HandoverUsb, LendLeavesTheUsbDisplayRunning) {
    EXPECT_EQ((std::vector<LONG>{102, 0, 0}), section.Lend());
    EXPECT_EQ(1u, bus.OpenCount(device) / 2);  // kept open (two handles)
    const uint8_t a[40] = {1}, b[40] = {2};
    driver.SendTextCells(a, 40);
    driver.SendTextCells(b, 40);
    bus.QueueKey(device, 0xFE, 1);
    Ticks(driver, 2);
    EXPECT_EQ(0u, bus.PendingInput(device));
    EXPECT_EQ(2u, bus.Frames(device).size());
    EXPECT_EQ(0, section.Answer(200));
    EXPECT_EQ(1u, bus.OpenCount(device) / 2);  // the open display is kept
}

// While the serial port is lent, a resume or a new start must not open it
// under the borrower; only the restore does. A USB display has nothing to do
// with the lent port and is found as usual; opening it again releases the
// handles held before.
TEST_F(HandoverUsb, LentSerialPortIsNotOpenedButAUsbDisplayIs) {
    driver.CarryOutSuspend(1);
    ASSERT_EQ(102, section.Answer(101));
    bus.Unplug(device);
    EXPECT_EQ(0, driver.OpenDevice("COM11"));
    EXPECT_EQ(0, bus.serialOpens);
    bus.Plug(device);
    driver.CarryOutSuspend(0);
    EXPECT_EQ(2u, bus.OpenHandleCount());
    bus.QueueKey(device, 0xFE, 1);
    EXPECT_EQ(0, section.Answer(200, 2));
    EXPECT_EQ(0u, bus.PendingInput(device));  // the link reads the display again
    ASSERT_EQ(1, driver.OpenDevice("COM1"));
    EXPECT_EQ(2u, bus.OpenHandleCount());
    EXPECT_EQ(6u, bus.OpenCount(device));
}

// ---------------------------------------------------------------- handover.exe

std::string ToolPath() { return testenv::BesideMe("handover.exe"); }

// Runs handover.exe (at most 20 s), calling `whileRunning` about every 10 ms;
// it must end with the exit code and say every one of the phrases.
::testing::AssertionResult ToolRuns(const std::string& args, DWORD exitCode, std::initializer_list<const char*> phrases,
                                    const std::function<void()>& whileRunning) {
    testenv::CChildProcess tool;
    tool.Start(ToolPath(), args);
    const DWORD code = tool.Wait(20000, whileRunning);
    std::string missing;
    for (const char* phrase : phrases)
        if (!tool.Says(phrase)) missing += std::string(" \"") + phrase + "\"";
    if (code == exitCode && missing.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "exit code " << code << ", missing" << missing << ", output:\n"
                                         << tool.Output();
}

class HandoverTool : public HandoverWord {
protected:
    void SetUp() override {
        HandoverWord::SetUp();
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(ToolPath().c_str())) << ToolPath();
        version[0] = 3;
        version[1] = 250;
    }
};

TEST_F(HandoverTool, BorrowsAndGivesBackFromAnotherProcess) {
    bool sawLent = false;
    EXPECT_TRUE(ToolRuns("--hold 200 --restore-value 9", 0,
                         {"driver port number: 7 (COM7)", "version values 3 and 250", "writing 209"}, [&] {
                             Tick();
                             sawLent = sawLent || handover.Lent();
                         }));
    EXPECT_TRUE(sawLent);
    EXPECT_FALSE(handover.Lent());
    // The tool is gone and the driver let go at the restore: nothing holds the section.
    Tick(2);
    EXPECT_FALSE(SectionExists());
}

// The command sees the borrowed port's name; its failure is reported after the
// port has been given back.
TEST_F(HandoverTool, RunsACommandWhileThePortIsBorrowed) {
    EXPECT_TRUE(ToolRuns("--run \"cmd.exe /c exit %HANDOVER_PORT:~3%\"", 3,
                         {"command ended with exit code 7", "the driver has the port again (word 7)"},
                         [&] { Tick(); }));
    EXPECT_FALSE(handover.Lent());
}

TEST_F(HandoverTool, TimesOutClearlyAndWithdrawsAnUnansweredRequest) {
    EXPECT_TRUE(ToolRuns("--timeout 300 --hold 0", 1,
                         {"timed out after 300 ms: no driver published", "must run in this session"}, [] {}));

    // The driver publishes, then stops ticking before it sees the request.
    bool published = false;
    EXPECT_TRUE(ToolRuns("--timeout 300 --hold 0", 1, {"did not lend the port"}, [&] {
        if (published) return;
        Tick();
        published = SectionWord() == 7;
    }));
    // The withdrawn request is not taken up later.
    Tick(2);
    EXPECT_FALSE(handover.Lent());
    EXPECT_EQ(7, SectionWord());
}

}  // namespace
