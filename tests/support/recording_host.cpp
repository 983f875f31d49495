#include "support/recording_host.h"

namespace testenv {

int32_t BRL_CALL CRecordingHost::OnKey(IBrailleDriver* driver, const char* name, int32_t value) {
    Event e;
    e.name = name ? name : "";
    e.value = value;
    e.driver = driver;
    e.thread = GetCurrentThreadId();
    std::lock_guard<std::mutex> hold(lock);
    events.push_back(std::move(e));
    return result;
}

int32_t BRL_CALL CRecordingHost::OnData(IBrailleDriver* driver, const unsigned char* bytes, int32_t count) {
    Event e;
    e.isData = true;
    if (bytes && count > 0) e.bytes.assign(bytes, bytes + count);
    e.driver = driver;
    e.thread = GetCurrentThreadId();
    std::lock_guard<std::mutex> hold(lock);
    events.push_back(std::move(e));
    return result;
}

std::vector<CRecordingHost::Event> CRecordingHost::Events() const {
    std::lock_guard<std::mutex> hold(lock);
    return events;
}

std::vector<CRecordingHost::Key> CRecordingHost::Keys() const {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<Key> keys;
    for (const Event& e : events)
        if (!e.isData) keys.push_back(e);
    return keys;
}

std::vector<std::vector<uint8_t>> CRecordingHost::Data() const {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<std::vector<uint8_t>> data;
    for (const Event& e : events)
        if (e.isData) data.push_back(e.bytes);
    return data;
}

std::vector<std::pair<std::string, int32_t>> CRecordingHost::KeyPairs() const {
    std::vector<std::pair<std::string, int32_t>> pairs;
    for (const Key& k : Keys()) pairs.emplace_back(k.name, k.value);
    return pairs;
}

size_t CRecordingHost::KeyCount() const { return Keys().size(); }

void CRecordingHost::Clear() {
    std::lock_guard<std::mutex> hold(lock);
    events.clear();
}

}  // namespace testenv
