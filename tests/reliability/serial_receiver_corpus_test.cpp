// The serial receiver on the stored corpus of tricky streams. The serial link is
// the real one, on the kit's scripted port; the acknowledgements it writes show
// when a frame was taken. Random input goes to the same link in the native fuzz
// (tests/fuzz/serial_link_fuzz.cpp), under the sanitizers.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/serial_decoder.h"
#include "device/serial_link.h"
#include "support/fake_serial.h"
#include "support/link_events.h"

namespace {

// A running serial link on the kit's scripted port, its writes counted as they
// come (acknowledgements and anything else). Bytes reach it through its poll.
struct Receiver {
    std::shared_ptr<CSerialRecord> record = std::make_shared<CSerialRecord>();
    CTestClock platform;
    CRecordingLinkEvents events;
    CSerialLink link{platform, events};
    uint64_t acks = 0, others = 0;
    Receiver() {
        link.SetPortMaker(
            [](void* r, IPlatform&) -> std::unique_ptr<CSerial> {
                return std::make_unique<CFakeSerial>(*static_cast<std::shared_ptr<CSerialRecord>*>(r));
            },
            &record);
        link.SetPortName("COM1");
        platform.SetAutoAdvance(1);
        record->Deliver(serialwire::kIdentity40);
        EXPECT_EQ(LinkOpen::Answered, link.Open(0));
        record->onWrite = [this](const std::vector<uint8_t>& bytes) { ++(bytes == serialwire::kAck ? acks : others); };
    }
    // The bytes as one read of the poll; the records are kept short.
    void Poll(const uint8_t* bytes, size_t count) {
        record->Deliver(std::vector<uint8_t>(bytes, bytes + count));
        link.Poll();
        events.log.clear();
        record->reads.clear();
        record->writes.clear();
    }
};

// ---- stored corpus ----

// One stored stream with what the receiver must make of it.
struct CorpusStream {
    std::string name;
    uint64_t acks = 0;  // frames taken, each acknowledged
    std::string state;  // the receiver's state after the last byte, by name
    std::vector<uint8_t> bytes;
};

// The stored corpus as its manifest lists it.
void ReadCorpus(std::vector<CorpusStream>& streams) {
    const std::string dir = BRL_CORPUS_DIR;
    std::ifstream manifest(dir + "/expected.txt");
    ASSERT_TRUE(manifest) << "no corpus manifest in " << dir;
    std::string line;
    while (std::getline(manifest, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        CorpusStream stream;
        ASSERT_TRUE(fields >> stream.name >> stream.acks >> stream.state) << line;
        std::ifstream in(dir + "/" + stream.name, std::ios::binary);
        stream.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        ASSERT_FALSE(stream.bytes.empty()) << stream.name;
        streams.push_back(stream);
    }
    EXPECT_GE(streams.size(), 10u);
}

// Each stream through the link's poll in reads of 1, 7 and 80 bytes (the most
// a tick takes): the receiver keeps its state from one read to the next. The
// decoder on its own ends in the state the manifest names.
TEST(SerialReceiverCorpus, EveryStoredStreamGivesItsExpectedFramesWholeAndSplitAcrossPolls) {
    static const char* const kStateNames[] = {"Idle", "Stx",  "Command",     "Length",
                                              "Etx",  "Data", "ChecksumLow", "ChecksumHigh"};
    std::vector<CorpusStream> streams;
    ASSERT_NO_FATAL_FAILURE(ReadCorpus(streams));
    for (const CorpusStream& c : streams) {
        CSerialDecoder decoder;
        for (uint8_t b : c.bytes) decoder.Feed(b);
        EXPECT_EQ(c.state, kStateNames[static_cast<int>(decoder.CurrentState())]) << c.name;
        for (size_t chunk : {size_t(1), size_t(7), size_t(80)}) {
            SCOPED_TRACE(c.name + " chunk " + std::to_string(chunk));
            Receiver r;
            for (size_t at = 0; at < c.bytes.size(); at += chunk)
                r.Poll(c.bytes.data() + at, std::min(chunk, c.bytes.size() - at));
            EXPECT_EQ(c.acks, r.acks);
            EXPECT_EQ(0u, r.others);
        }
    }
}

}  // namespace
