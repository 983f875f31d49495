// The test kit's host: records every key and every block of data the driver
// hands it, in order, with the driver and the thread each arrived on. Safe to
// call from any thread; readers get copies.
#ifndef BRL_RECORDING_HOST_H
#define BRL_RECORDING_HOST_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "brailledriver.h"

namespace testenv {

class CRecordingHost : public IBrailleHost {
public:
    struct Event {
        bool isData = false;
        std::string name;            // a key's name
        int32_t value = 0;           // a key's value
        std::vector<uint8_t> bytes;  // OnData's bytes
        IBrailleDriver* driver = nullptr;
        DWORD thread = 0;
    };
    using Key = Event;

    explicit CRecordingHost(int32_t result = 0) : result(result) {}

    int32_t BRL_CALL OnKey(IBrailleDriver* driver, const char* name, int32_t value) override;
    int32_t BRL_CALL OnData(IBrailleDriver* driver, const unsigned char* bytes, int32_t count) override;

    std::vector<Event> Events() const;
    std::vector<Key> Keys() const;
    // The keys as (name, value), for comparing with a list.
    std::vector<std::pair<std::string, int32_t>> KeyPairs() const;
    size_t KeyCount() const;
    size_t DataCount() const;
    void Clear();

    // Run after a key or a block of data has been recorded, on the caller's
    // thread: a test's own reaction (a call into the driver from a callback).
    std::function<void()> onKey, onData;

private:
    int32_t Record(Event e);  // notes the event; returns `result`
    const int32_t result;     // what OnKey and OnData return
    mutable std::mutex lock;
    std::vector<Event> events;
};

}  // namespace testenv

#endif
