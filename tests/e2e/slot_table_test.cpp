// The driver's slot table seen as a host built by another compiler sees it: a
// plain C table of function pointers, each taking the object first, read from
// the object the DLL's export returns. No C++ class of the driver is involved,
// so a reordered, inserted or retyped slot shows up here.
#include <windows.h>
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include "display_sim.h"
#include "support/driver_dll.h"
#include "support/test_env.h"

extern "C" {

typedef struct DriverSlots {
    int32_t (*Initialize)(void* self, const char* port, void* host, const char* text1, const char* text2);
    void (*Terminate)(void* self);
    void* (*SetHost)(void* self, void* host);
    int32_t (*GetInitString1)(void* self, char* buffer, int32_t size);
    int32_t (*GetInitString2)(void* self, char* buffer, int32_t size);
    int32_t (*Unsupported05)(void* self, intptr_t a, int32_t b);
    int32_t (*GetDriverCode)(void* self);
    int32_t (*Unsupported07)(void* self);
    int32_t (*Unsupported08)(void* self);
    int32_t (*Unsupported09)(void* self);
    int32_t (*Unsupported10)(void* self, intptr_t a);
    int32_t (*WriteTextCells)(void* self, const unsigned char* cells, int32_t count);
    int32_t (*WriteAllCells)(void* self, const unsigned char* cells, int32_t count);
    int32_t (*ClearCells)(void* self);
    int32_t (*Unsupported14)(void* self, intptr_t a, int32_t b);
    int32_t (*Unsupported15)(void* self);
    int32_t (*Suspend)(void* self, int32_t flag);
    void (*NoOp17)(void* self);
    int32_t (*GetTextCellCount)(void* self);
    int32_t (*Unsupported19)(void* self);
    int32_t (*GetStatusCellCount)(void* self);
    int32_t (*GetTotalCellCount)(void* self);
    int32_t (*Unsupported22)(void* self);
    int32_t (*Unsupported23)(void* self, int32_t a, int32_t b, int32_t c);
    int32_t (*Unsupported24)(void* self);
    int32_t (*Unsupported25)(void* self, int32_t a, unsigned char b);
    int32_t (*Unsupported26)(void* self, intptr_t a, int32_t b, int32_t c);
    int32_t (*Unsupported27)(void* self, intptr_t a);
    int32_t (*Unsupported28)(void* self, int32_t a);
    int32_t (*Unsupported29)(void* self);
    void (*NoOp30)(void* self, int32_t a);
    int32_t (*Unsupported31)(void* self);
    void (*NoOp32)(void* self, int32_t a);
    int32_t (*Unsupported33)(void* self);
    int32_t (*Identify)(void* self, char* name, int32_t size, void* id);
    void (*NoOp35)(void* self, int32_t a);
    void (*NoOp36)(void* self, int32_t a);
} DriverSlots;

typedef struct DriverObject {
    const DriverSlots* slots;
} DriverObject;

typedef DriverObject* (*GetBrailleInterfaceProc)(DriverObject** out);

// The host's callback object, laid out the same way: its table first.
typedef struct HostObject HostObject;
typedef struct HostSlots {
    int32_t (*OnKey)(HostObject* self, DriverObject* driver, const char* name, int32_t value);
    int32_t (*OnData)(HostObject* self, DriverObject* driver, const unsigned char* bytes, int32_t count);
} HostSlots;
struct HostObject {
    const HostSlots* slots;
    int keys;
};

static int32_t HostOnKey(HostObject* self, DriverObject*, const char*, int32_t) {
    self->keys++;
    return 0;
}
static int32_t HostOnData(HostObject*, DriverObject*, const unsigned char*, int32_t) { return 0; }
static const HostSlots kHostSlots = {HostOnKey, HostOnData};

}  // extern "C"

static_assert(sizeof(DriverSlots) == 37 * sizeof(void*), "37 slots");

namespace {

// The export, from the test kit's one load of the DLL, and the object it gives.
class SlotTable : public ::testing::Test {
protected:
    void SetUp() override {
        HMODULE dll = testenv::DriverModule();
        ASSERT_NE(nullptr, dll);
        get = reinterpret_cast<GetBrailleInterfaceProc>(
            reinterpret_cast<void*>(GetProcAddress(dll, "GetBrailleInterface")));
        ASSERT_NE(nullptr, get);
        d = get(nullptr);
        ASSERT_NE(nullptr, d);
        s = d->slots;
    }
    GetBrailleInterfaceProc get = nullptr;
    DriverObject* d = nullptr;
    const DriverSlots* s = nullptr;
};

const uint8_t kGuid[16] = {0xE8, 0xD9, 0xD2, 0xD5, 0x37, 0x46, 0x07, 0x4A,
                           0xBF, 0x46, 0x42, 0x54, 0x3A, 0x3C, 0xAA, 0xCC};

TEST_F(SlotTable, ExportYieldsTheSameObjectEveryTime) {
    DriverObject* first = nullptr;
    DriverObject* second = reinterpret_cast<DriverObject*>(1);
    DriverObject* result1 = get(&first);
    DriverObject* result2 = get(&second);
    ASSERT_NE(nullptr, result1);
    EXPECT_EQ(result1, first);
    EXPECT_EQ(result1, result2);
    EXPECT_EQ(result1, second);
    EXPECT_EQ(result1, get(nullptr));  // a null argument is not written through
    ASSERT_NE(nullptr, result1->slots);
}

// Every slot, in order, without a display.
TEST_F(SlotTable, EverySlotGivesItsResult) {
    HostObject host = {&kHostSlots, 0};
    HostObject other = {&kHostSlots, 0};

    // 0: no display on a port that does not exist; the counts are cleared.
    EXPECT_EQ(0, s->Initialize(d, "COM250", &host, "first", "second"));
    // 1: nothing runs, so nothing happens.
    s->Terminate(d);
    // 2: returns the previous host.
    s->SetHost(d, &host);
    EXPECT_EQ(&host, s->SetHost(d, &other));
    EXPECT_EQ(&other, s->SetHost(d, nullptr));
    // 3, 4: at most size - 1 characters, then zeros up to size.
    char text[16];
    memset(text, 'x', sizeof text);
    int32_t length = s->GetInitString1(d, text, 6);
    EXPECT_GE(length, 0);
    EXPECT_LE(length, 5);
    EXPECT_EQ(static_cast<size_t>(length), strlen(text));
    EXPECT_EQ(0, text[5]);
    EXPECT_EQ('x', text[6]);
    memset(text, 'x', sizeof text);
    EXPECT_EQ(0, s->GetInitString2(d, text, 1));
    EXPECT_EQ(0, text[0]);
    EXPECT_EQ('x', text[1]);
    EXPECT_EQ(0, s->GetInitString2(d, text, 0));
    EXPECT_EQ('x', text[1]);
    // 5..10
    EXPECT_EQ(0, s->Unsupported05(d, static_cast<intptr_t>(-1), 7));
    EXPECT_EQ(768, s->GetDriverCode(d));
    // 7..9, 15, 18..22, 24, 29, 31, 33: no arguments, and 0 with no display
    // (the counts are cleared).
    const struct {
        int number;
        int32_t (*slot)(void* self);
    } zeros[] = {{7, s->Unsupported07},       {8, s->Unsupported08},      {9, s->Unsupported09},
                 {15, s->Unsupported15},      {18, s->GetTextCellCount},  {19, s->Unsupported19},
                 {20, s->GetStatusCellCount}, {21, s->GetTotalCellCount}, {22, s->Unsupported22},
                 {24, s->Unsupported24},      {29, s->Unsupported29},     {31, s->Unsupported31},
                 {33, s->Unsupported33}};
    for (const auto& z : zeros) EXPECT_EQ(0, z.slot(d)) << "slot " << z.number;
    EXPECT_EQ(0, s->Unsupported10(d, 12345));
    // 11..13: no worker, so nothing is posted.
    const unsigned char cells[3] = {1, 2, 3};
    EXPECT_EQ(0, s->WriteTextCells(d, cells, 3));
    EXPECT_EQ(0, s->WriteAllCells(d, cells, 3));
    EXPECT_EQ(0, s->ClearCells(d));
    // 14
    EXPECT_EQ(0, s->Unsupported14(d, 99, -5));
    // 16: a change cannot be posted (0) and leaves the flag, so it stays 0; the flag as it is gives 1.
    EXPECT_EQ(0, s->Suspend(d, 7));
    EXPECT_EQ(0, s->Suspend(d, 7));
    EXPECT_EQ(1, s->Suspend(d, 0));
    // 17, 23..33
    s->NoOp17(d);
    EXPECT_EQ(0, s->Unsupported23(d, 1, 2, 3));
    EXPECT_EQ(0, s->Unsupported25(d, -1, 0xFF));
    EXPECT_EQ(0, s->Unsupported26(d, 0x7FFFFFFFFFFFLL, INT32_MIN, INT32_MAX));
    EXPECT_EQ(0, s->Unsupported27(d, 0));
    EXPECT_EQ(0, s->Unsupported28(d, 42));
    s->NoOp30(d, 1);
    s->NoOp32(d, 2);
    // 34: maker string and GUID.
    char name[8];
    uint8_t id[16];
    memset(name, 'x', sizeof name);
    memset(id, 0, sizeof id);
    EXPECT_EQ(1, s->Identify(d, name, sizeof name, id));
    EXPECT_STREQ("KVR", name);
    EXPECT_EQ(0, memcmp(kGuid, id, sizeof id));
    memset(name, 'x', sizeof name);
    EXPECT_EQ(1, s->Identify(d, name, 2, id));
    EXPECT_EQ(0, memcmp("K\0x", name, 3));
    memset(name, 'x', sizeof name);
    memset(id, 0x5A, sizeof id);
    EXPECT_EQ(0, s->Identify(d, name, sizeof name, nullptr));
    EXPECT_EQ('x', name[0]);
    EXPECT_EQ(0, s->Identify(d, nullptr, sizeof name, id));
    EXPECT_EQ(0x5A, id[0]);
    // 35, 36: the driver's own slots past the interface.
    s->NoOp35(d, 3);
    s->NoOp36(d, 4);
    // Still the same object, still working.
    EXPECT_EQ(768, s->GetDriverCode(d));
    EXPECT_EQ(0, host.keys + other.keys);
    s->Terminate(d);  // takes down a key window the resume may have made
}

// With a display on a cable: Initialize identifies it, and its fifth argument
// (the first one passed on the stack) and the counts arrive through the table.
TEST_F(SlotTable, StartedDriverThroughTheTable) {
    REQUIRE_CABLE(cable, 0);
    sim::CSimDisplay display;  // 40 text cells
    ASSERT_TRUE(display.Open(cable.displayEnd.c_str()));

    HostObject host = {&kHostSlots, 0};
    EXPECT_EQ(1, s->Initialize(d, cable.driverEnd.c_str(), &host, "alpha", "beta"));
    EXPECT_EQ(40, s->GetTextCellCount(d));
    EXPECT_EQ(2, s->GetStatusCellCount(d));
    EXPECT_EQ(42, s->GetTotalCellCount(d));
    // The display saw a request, acknowledged frames, and the closing 0x26 with 0.
    ASSERT_TRUE(display.WaitForIdentifyDone(1, 2000));
    const sim::Counters c = display.GetCounters();
    EXPECT_GE(c.identifyRequests, 1u);
    EXPECT_EQ(0, c.lastIdentifyDoneByte);
    EXPECT_GE(c.acksReceived, 1u);  // the identity reply was acknowledged
    char text[16];
    EXPECT_EQ(5, s->GetInitString1(d, text, sizeof text));
    EXPECT_STREQ("alpha", text);
    EXPECT_EQ(4, s->GetInitString2(d, text, sizeof text));
    EXPECT_STREQ("beta", text);
    EXPECT_EQ(&host, s->SetHost(d, &host));
    const unsigned char cells[2] = {0x01, 0x02};
    EXPECT_EQ(1, s->WriteTextCells(d, cells, 2));
    EXPECT_EQ(1, s->ClearCells(d));
    s->Terminate(d);
    EXPECT_EQ(0, s->WriteTextCells(d, cells, 2));  // stopped: nothing to post to
}

}  // namespace
