// The serial receiver under ten million random bytes, and the stored corpus of
// tricky streams. The serial link is the real one, on the kit's scripted port;
// the acknowledgements it writes show exactly when a frame was taken.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "device/serial_decoder.h"
#include "device/serial_link.h"
#include "support/fake_serial.h"
#include "support/link_events.h"
#include "support/test_env.h"

namespace {

using serialwire::Frame;  // the simulated display's encoder, not the driver's

// A running serial link on the kit's scripted port, its writes counted as they
// come (acknowledgements and anything else). Bytes reach it through its poll.
struct Receiver {
    std::shared_ptr<CSerialRecord> record = std::make_shared<CSerialRecord>();
    CTestClock platform;
    CRecordingLinkEvents events;
    CSerialLink link{platform, events};
    uint64_t acks = 0, others = 0, keys = 0;
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
        keys += events.log.size();
        events.log.clear();
        record->reads.clear();
        record->writes.clear();
    }
};

// The newest bytes fed, written out when a check fails so the stream can join the corpus.
class CHistory {
public:
    void Add(uint8_t b) {
        ring[at % ring.size()] = b;
        ++at;
    }
    std::string Save(uint64_t seed) const {
        char name[96];
        std::snprintf(name, sizeof name, "serial-fuzz-failure-seed%llu.bin", static_cast<unsigned long long>(seed));
        FILE* f = std::fopen(name, "wb");
        if (!f) return "(not saved)";
        const size_t n = at < ring.size() ? at : ring.size();
        for (size_t i = at - n; i < at; ++i) std::fputc(ring[i % ring.size()], f);
        std::fclose(f);
        return name;
    }

private:
    std::vector<uint8_t> ring = std::vector<uint8_t>(8192);
    size_t at = 0;
};

TEST(SerialReceiverFuzz, TenMillionRandomBytesNeverHideAValidFrame) {
    const uint64_t seed = testenv::EnvNumber("BRL_FUZZ_SEED", 20240611);
    const uint64_t total = testenv::EnvNumber("BRL_FUZZ_SERIAL_BYTES", 10000000);
    std::mt19937_64 rng(seed);
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    auto byte = [&] { return static_cast<uint8_t>(rng()); };
    auto noSoh = [&] {
        uint8_t b;
        do b = byte();
        while (b == 0x01);
        return b;
    };

    Receiver r;
    CHistory history;
    uint64_t fed = 0, framesChecked = 0, wildBytes = 0, wildAcks = 0;
    bool failed = false;

    // True for the first fault only: the run stops at it, and the stream is saved.
    auto firstFault = [&](bool fault) { return fault && !failed && (failed = true); };
    // Bytes reach the link in polls of 1 to 80 bytes (the most a poll reads),
    // split at random: every byte fed is taken before a check.
    std::vector<uint8_t> batch;
    auto feed = [&](uint8_t b) {
        history.Add(b);
        batch.push_back(b);
        ++fed;
    };
    auto sync = [&] {
        for (size_t at = 0, n; at < batch.size(); at += n) {
            n = std::min<size_t>(1 + below(80), batch.size() - at);
            r.Poll(batch.data() + at, n);
        }
        batch.clear();
    };
    // A valid frame fed from the idle state is taken with its last byte, and not before.
    auto feedFrame = [&](const std::vector<uint8_t>& f) {
        sync();
        const bool isAck = f[2] == 0x7F;
        const uint64_t before = r.acks;
        for (size_t i = 0; i + 1 < f.size(); ++i) feed(f[i]);
        sync();
        const bool quietInside = r.acks == before;
        feed(f.back());
        sync();
        const uint64_t expected = before + (isAck ? 0 : 1);
        if (firstFault(!quietInside || r.acks != expected))
            ADD_FAILURE() << "valid frame (command " << int(f[2]) << ", length " << int(f[3]) << ") ending at byte "
                          << fed << " not taken exactly once; stream saved as " << history.Save(seed);
        ++framesChecked;
    };
    auto randomFrame = [&] {
        static const uint8_t commands[] = {0x10, 0x11, 0x13, 0x14, 0x25, 0x26, 0x55, 0x00, 0x7F, 0x01, 0x02, 0x03};
        uint8_t command = below(4) == 0 ? byte() : commands[below(sizeof commands)];
        size_t length = below(8) == 0 ? below(256) : below(8);
        if (command == 0x7F) length = 0;
        std::vector<uint8_t> data(length);
        for (auto& d : data) d = below(3) == 0 ? static_cast<uint8_t>(1 + below(3)) : byte();
        return Frame(command, data);
    };
    // Whatever the wild bytes left behind, a frame is at most 262 bytes: that many
    // bytes without an SOH bring the receiver back to idle, and the next frame is taken.
    auto flush = [&] {
        for (int i = 0; i < 262; ++i) feed(noSoh());
    };

    while (fed < total && !failed) {
        switch (below(4)) {
        case 0:  // garbage without SOH, then a frame
            for (uint32_t i = 0, n = below(300); i < n; ++i) feed(noSoh());
            feedFrame(randomFrame());
            break;
        case 1:  // frames glued back to back
            for (uint32_t i = 0, n = 1 + below(5); i < n; ++i) feedFrame(randomFrame());
            break;
        default: {  // wild: random bytes, cut and corrupted frames, SOH/STX runs
            const uint64_t acksBefore = r.acks;
            const uint64_t start = fed;
            const uint32_t pieces = 1 + below(20);
            for (uint32_t p = 0; p < pieces; ++p) {
                const uint32_t kind = below(5);
                if (kind == 0) {  // random bytes
                    for (uint32_t i = 0, n = below(200); i < n; ++i) feed(byte());
                } else if (kind == 3) {  // a run of SOH and STX
                    for (uint32_t i = 0, n = below(6); i < n; ++i) feed(below(2) ? 0x01 : 0x02);
                } else {  // a frame: cut short (1), with one byte corrupted (2), or whole
                    std::vector<uint8_t> f = randomFrame();
                    size_t end = f.size();
                    if (kind == 1) end = below(static_cast<uint32_t>(f.size()));
                    if (kind == 2) f[below(static_cast<uint32_t>(f.size()))] ^= static_cast<uint8_t>(1 + below(255));
                    for (size_t i = 0; i < end; ++i) feed(f[i]);
                }
            }
            flush();
            sync();
            wildBytes += fed - start;
            wildAcks += r.acks - acksBefore;
            feedFrame(randomFrame());  // right after the wild bytes, a valid frame is still taken
            break;
        }
        }
    }
    EXPECT_EQ(0u, r.others) << "the receiver wrote something other than acknowledgements";
    EXPECT_GE(fed, total);
    std::printf(
        "[ fuzz     ] seed %llu: %llu bytes, %llu valid frames each taken exactly once, %llu wild bytes "
        "(%llu frames taken inside them), %llu keys reported\n",
        static_cast<unsigned long long>(seed), static_cast<unsigned long long>(fed),
        static_cast<unsigned long long>(framesChecked), static_cast<unsigned long long>(wildBytes),
        static_cast<unsigned long long>(wildAcks), static_cast<unsigned long long>(r.keys));
}

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
