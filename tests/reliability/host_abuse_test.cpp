// The host interface under abuse: null pointers, counts of every sign and size,
// texts longer than every field, calls in every state. Buffers handed to the
// driver end at an inaccessible page or are fenced with guard bytes, so a read
// or write past them fails the run instead of passing unseen.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "display_sim.h"
#include "driver/driver.h"
#include "support/dll_on_cable.h"
#include "support/probes.h"
#include "support/test_env.h"

namespace {

using testenv::CRecordingHost;
using testenv::Pattern;

// A buffer with guard bytes on both sides.
class CFenced {
public:
    explicit CFenced(size_t size) : bytes(size + 2 * kFence, kGuard) { std::memset(data(), kFill, size); }
    char* data() { return reinterpret_cast<char*>(bytes.data() + kFence); }
    bool FencesIntact() const {
        return All(bytes.begin(), kFence, kGuard) && All(bytes.end() - kFence, kFence, kGuard);
    }
    bool Untouched() const { return All(bytes.begin() + kFence, bytes.size() - 2 * kFence, kFill); }

private:
    static constexpr size_t kFence = 64;
    static constexpr uint8_t kGuard = 0xC7, kFill = 0xEE;
    static bool All(std::vector<uint8_t>::const_iterator from, size_t n, uint8_t value) {
        return std::all_of(from, from + static_cast<std::ptrdiff_t>(n), [value](uint8_t b) { return b == value; });
    }
    std::vector<uint8_t> bytes;
};

// Hands `read` a fenced buffer with room for `room` bytes and the claimed
// `size`, then (for a positive size) exactly `size` bytes before an
// inaccessible page. Both calls give `result`, the fences hold, and the fenced
// buffer then holds `text` (followed by zeros up to `room` when `zeroed`) or,
// without a text, is untouched.
template <typename Read>
void CheckRead(Read read, size_t room, int32_t size, int32_t result, const char* text, bool zeroed) {
    SCOPED_TRACE(size);
    CFenced buffer(room);
    EXPECT_EQ(result, read(buffer.data(), size));
    EXPECT_TRUE(buffer.FencesIntact());
    if (text)
        EXPECT_STREQ(text, buffer.data());
    else
        EXPECT_TRUE(buffer.Untouched());
    for (size_t i = text ? std::strlen(text) : room; zeroed && i < room; ++i) ASSERT_EQ(0, buffer.data()[i]) << i;
    if (size > 0) {
        probes::CGuardedBuffer exact(static_cast<size_t>(size));
        EXPECT_EQ(result, read(reinterpret_cast<char*>(exact.data()), size));
    }
}

// ---- through the DLL, with the display attached ----

class HostAbuse : public testenv::DllOnCable {
protected:
    HostAbuse() : DllOnCable(testenv::kReliabilityCable) {}
    bool Start(const char* text1 = "first text", const char* text2 = "second") {
        return DllOnCable::Start(text1, text2);
    }
};

TEST_F(HostAbuse, CellWritesRefuseBadArgumentsAndNeverReadPastTheImage) {
    ASSERT_TRUE(Start());
    const std::vector<uint8_t> cells = Pattern(1);
    auto write = [&](int32_t (IBrailleDriver::*slot)(const unsigned char*, int32_t), const unsigned char* p,
                     int32_t n) {
        int32_t result = 0;
        Call("cell write", kWriteCallBoundMs, [&] { result = (driver->*slot)(p, n); });
        return result;
    };
    const std::pair<const unsigned char*, int32_t> refused[] = {
        {nullptr, 40}, {nullptr, INT_MAX}, {cells.data(), 0}, {cells.data(), -1}, {cells.data(), INT_MIN}};
    for (auto slot : {&IBrailleDriver::WriteTextCells, &IBrailleDriver::WriteAllCells})
        for (const auto& [p, n] : refused)
            EXPECT_EQ(0, write(slot, p, n))
                << (slot == &IBrailleDriver::WriteAllCells ? "WriteAllCells(" : "WriteTextCells(")
                << (p ? "cells, " : "null, ") << n << ")";

    // A 10-byte buffer claimed to hold INT_MAX cells: at most the 200 cells of the
    // image may be read, and the 201st byte is an inaccessible page.
    probes::CGuardedBuffer area(200);
    ASSERT_TRUE(area.valid());
    std::memcpy(area.data(), cells.data(), 10);
    EXPECT_EQ(1, write(&IBrailleDriver::WriteTextCells, area.data(), INT_MAX));
    EXPECT_EQ(1, write(&IBrailleDriver::WriteAllCells, area.data(), INT_MAX));
    EXPECT_EQ(1, write(&IBrailleDriver::WriteTextCells, area.data(), 201));
    // One cell right before the guard page.
    probes::CGuardedBuffer one(1);
    *one.data() = 0x3F;
    EXPECT_EQ(1, write(&IBrailleDriver::WriteTextCells, one.data(), 1));
    // The display shows the last write: cell 0x3F followed by what the image held.
    ASSERT_TRUE(display.WaitFor([&] { return display.HostTextCells()[0] == 0x3F; }, 5000));
    // The 201-cell write put the area's first 40 bytes into the text cells; the
    // one-cell write changed only the first.
    EXPECT_EQ(0, std::memcmp(display.HostTextCells().data() + 1, area.data() + 1, 39));
}

TEST_F(HostAbuse, TextReadsStayInsideTheCallersBuffer) {
    const std::string longText(300, 'x');
    ASSERT_TRUE(Start("first text", longText.c_str()));

    struct Case {
        size_t buffer;
        int32_t size;
        int32_t result;
        const char* text;  // what the buffer holds afterwards; null: untouched
    };
    const Case cases[] = {
        {10, 0, 0, nullptr}, {10, -1, 0, nullptr},       {10, INT_MIN, 0, nullptr},  {1, 1, 0, ""},
        {5, 5, 4, "firs"},   {11, 11, 10, "first text"}, {12, 12, 10, "first text"}, {256, 256, 10, "first text"},
    };
    // The rest of the buffer is zero, up to the size given and no further.
    auto read = [&](char* buffer, int32_t size) { return driver->GetInitString1(buffer, size); };
    for (const Case& c : cases) CheckRead(read, c.buffer, c.size, c.result, c.text, true);
    EXPECT_EQ(0, driver->GetInitString1(nullptr, 10));
    EXPECT_EQ(0, driver->GetInitString2(nullptr, INT_MAX));

    // The text longer than its field comes back cut to the field.
    probes::CGuardedBuffer big(1000);
    EXPECT_EQ(255, driver->GetInitString2(reinterpret_cast<char*>(big.data()), 1000));
    EXPECT_EQ(std::string(255, 'x'), std::string(reinterpret_cast<char*>(big.data())));
    for (size_t i = 255; i < 1000; ++i) ASSERT_EQ(0, big.data()[i]);
}

TEST_F(HostAbuse, IdentifyWritesOnlyWhatItsArgumentsAllow) {
    ASSERT_TRUE(Start());
    probes::CGuardedBuffer id(16);
    CFenced name(8);
    EXPECT_EQ(0, driver->Identify(nullptr, 8, id.data()));
    EXPECT_EQ(0, driver->Identify(name.data(), 8, nullptr));
    EXPECT_TRUE(name.Untouched());

    const uint8_t guid[16] = {0xE8, 0xD9, 0xD2, 0xD5, 0x37, 0x46, 0x07, 0x4A,
                              0xBF, 0x46, 0x42, 0x54, 0x3A, 0x3C, 0xAA, 0xCC};
    const struct {
        int32_t size;
        const char* text;  // null: nothing written
    } cases[] = {{INT_MIN, nullptr}, {-5, nullptr}, {0, nullptr}, {1, ""},
                 {2, "K"},           {3, "KV"},     {4, "KVR"},   {100, "KVR"}};
    // Every call also gives the GUID.
    auto identify = [&](char* name, int32_t size) {
        std::memset(id.data(), 0, 16);
        const int32_t result = driver->Identify(name, size, id.data());
        EXPECT_EQ(0, std::memcmp(guid, id.data(), 16));
        return result;
    };
    for (const auto& c : cases)
        CheckRead(identify, c.size > 0 ? static_cast<size_t>(c.size) : 4, c.size, 1, c.text, false);
}

TEST_F(HostAbuse, UnsupportedSlotsAnswerZeroWhateverTheArguments) {
    ASSERT_TRUE(Start());
    const intptr_t wild = static_cast<intptr_t>(0xDEADBEEFCAFEll);
    EXPECT_EQ(0, driver->Unsupported05(wild, INT_MIN));
    EXPECT_EQ(0, driver->Unsupported10(wild));
    EXPECT_EQ(0, driver->Unsupported14(wild, -1));
    EXPECT_EQ(0, driver->Unsupported23(INT_MAX, INT_MIN, -1));
    EXPECT_EQ(0, driver->Unsupported25(-1, 0xFF));
    EXPECT_EQ(0, driver->Unsupported26(wild, INT_MAX, INT_MIN));
    EXPECT_EQ(0, driver->Unsupported27(wild));
    EXPECT_EQ(0, driver->Unsupported28(INT_MIN));
    driver->NoOp17();
    driver->NoOp30(INT_MIN);
    driver->NoOp32(INT_MAX);
    EXPECT_EQ(768, driver->GetDriverCode());
    // The driver is still well.
    const std::vector<uint8_t> cells = Pattern(5);
    ASSERT_EQ(1, driver->WriteTextCells(cells.data(), 40));
    EXPECT_TRUE(Shows(cells, 5000));
}

TEST_F(HostAbuse, InitializeWithMissingAndOversizedArguments) {
    // No port name, and one far longer than any field: refused, promptly.
    Call("Initialize", kWaitingCallBoundMs,
         [&] { EXPECT_EQ(0, driver->Initialize(nullptr, &host, nullptr, nullptr)); });
    const std::string huge(10000, 'C');
    Call("Initialize", kWaitingCallBoundMs,
         [&] { EXPECT_EQ(0, driver->Initialize(huge.c_str(), &host, huge.c_str(), huge.c_str())); });
    // A name of 127 characters that names no port, and one of 128 that starts with a real one.
    const std::string name127 = cable.driverEnd + std::string(127 - cable.driverEnd.size(), 'Z');
    EXPECT_EQ(0, driver->Initialize(name127.c_str(), &host, "", ""));
    const std::string name128 = cable.driverEnd + std::string(128 - cable.driverEnd.size(), ' ');
    EXPECT_EQ(0, driver->Initialize(name128.c_str(), &host, "", "")) << "a cut name must not open another port";

    // No host and texts longer than their fields: it runs, texts cut, keys dropped.
    ASSERT_EQ(1, driver->Initialize(cable.driverEnd.c_str(), nullptr, huge.c_str(), nullptr));
    char text[300];
    EXPECT_EQ(255, driver->GetInitString1(text, sizeof text));
    EXPECT_EQ(0, driver->GetInitString2(text, sizeof text));
    EXPECT_STREQ("", text);
    display.PressFunctionKey(1);
    testenv::Pump(300);
    // A host arrives later and gets the next key.
    EXPECT_EQ(nullptr, driver->SetHost(&host));
    display.PressFunctionKey(2);
    ASSERT_TRUE(testenv::WaitUntil([&] { return host.KeyCount() > 0; }, 5000));
    EXPECT_EQ("F2", host.Keys()[0].name);
    EXPECT_EQ(&host, driver->SetHost(nullptr));
    display.PressFunctionKey(3);
    testenv::Pump(300);
    EXPECT_EQ(1u, host.KeyCount());
}

// ---- calls in every state, on driver objects of the test's own ----

class HostStates : public HostAbuse {};

TEST_F(HostStates, EveryCallHasADefinedResultInEveryState) {
    const std::vector<uint8_t> cells = Pattern(2);
    char text[64];
    uint8_t id[16];
    CRecordingHost other;
    auto write = [&](CBrailleSampleDriver& d) {
        int32_t a = 0, b = 0, c = 0;
        Call("WriteTextCells", kWriteCallBoundMs, [&] { a = d.WriteTextCells(cells.data(), 40); });
        Call("WriteAllCells", kWriteCallBoundMs, [&] { b = d.WriteAllCells(cells.data(), 2); });
        Call("ClearCells", kWriteCallBoundMs, [&] { c = d.ClearCells(); });
        return a * 100 + b * 10 + c;  // 111 when all three were queued, 0 when none
    };
    auto waiting = [&](auto&& call) { Call("waiting call", kWaitingCallBoundMs, call); };

    CBrailleSampleDriver d;
    const int threadsBefore = probes::ThreadCount();
    // Loaded: nothing runs; writes and suspensions post nothing.
    EXPECT_EQ(0, write(d));
    EXPECT_EQ(0, d.GetTextCellCount());
    EXPECT_EQ(0, d.GetInitString1(text, sizeof text));
    EXPECT_EQ(1, d.Identify(text, sizeof text, id));
    EXPECT_EQ(nullptr, d.SetHost(&other));
    waiting([&] { d.Terminate(); });
    waiting([&] { EXPECT_EQ(0, d.Suspend(1)); });
    EXPECT_EQ(0, write(d));
    waiting([&] { EXPECT_EQ(1, d.Suspend(0)); });  // nothing to change: the refused suspension left no flag
    EXPECT_EQ(threadsBefore, probes::ThreadCount());
    EXPECT_TRUE(testenv::KeyWindows().empty());

    // Running.
    waiting([&] { EXPECT_EQ(1, d.Initialize(cable.driverEnd.c_str(), &host, "a", "b")); });
    EXPECT_EQ(111, write(d));
    EXPECT_EQ(40, d.GetTextCellCount());
    // Initialize again while running restarts on the same port, with one worker.
    waiting([&] { EXPECT_EQ(1, d.Initialize(cable.driverEnd.c_str(), &host, "c", "d")); });
    EXPECT_TRUE(testenv::WaitUntil([&] { return probes::ThreadCount() == threadsBefore + 1; }, 5000))
        << "one worker after the restart, not two";
    EXPECT_EQ(1, d.GetInitString1(text, sizeof text));
    EXPECT_STREQ("c", text);

    // Suspended, twice; writes refused; then resumed.
    waiting([&] { EXPECT_EQ(1, d.Suspend(1)); });
    waiting([&] { EXPECT_EQ(1, d.Suspend(1)); });
    EXPECT_EQ(0, write(d));
    waiting([&] { EXPECT_EQ(1, d.Suspend(0)); });
    EXPECT_EQ(1u, testenv::KeyWindows().size());
    EXPECT_EQ(111, write(d));
    const std::vector<uint8_t> resumed = Pattern(3);
    EXPECT_EQ(1, d.WriteTextCells(resumed.data(), 40));
    EXPECT_TRUE(Shows(resumed, 5000)) << "the text written after the resume never arrived";

    // Terminated while suspended, then twice more.
    waiting([&] { EXPECT_EQ(1, d.Suspend(1)); });
    waiting([&] { d.Terminate(); });
    waiting([&] { d.Terminate(); });
    EXPECT_TRUE(testenv::KeyWindows().empty());
    EXPECT_TRUE(testenv::WaitUntil([&] { return probes::ThreadCount() <= threadsBefore; }, 5000));
    EXPECT_EQ(0, write(d)) << "stopped while suspended";
    waiting([&] { EXPECT_EQ(0, d.Suspend(0)); });
    EXPECT_EQ(0, write(d)) << "stopped: no worker to post to";
    waiting([&] { d.Terminate(); });
    EXPECT_TRUE(testenv::KeyWindows().empty()) << "a resume while stopped makes no window";

    // Started again from Stopped.
    waiting([&] { EXPECT_EQ(1, d.Initialize(cable.driverEnd.c_str(), &host, "e", "f")); });
    EXPECT_EQ(111, write(d));
    waiting([&] { d.Terminate(); });
}

}  // namespace
