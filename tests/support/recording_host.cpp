#include "support/recording_host.h"

#include <algorithm>
#include <iterator>

namespace testenv {

int32_t BRL_CALL CRecordingHost::OnKey(IBrailleDriver* driver, const char* name, int32_t value) {
    const int32_t r = Record({false, name ? name : "", value, {}, driver, GetCurrentThreadId()});
    if (onKey) onKey();
    return r;
}

int32_t BRL_CALL CRecordingHost::OnData(IBrailleDriver* driver, const unsigned char* bytes, int32_t count) {
    std::vector<uint8_t> data;
    if (bytes && count > 0) data.assign(bytes, bytes + count);
    const int32_t r = Record({true, "", 0, std::move(data), driver, GetCurrentThreadId()});
    if (onData) onData();
    return r;
}

int32_t CRecordingHost::Record(Event e) {
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
    std::copy_if(events.begin(), events.end(), std::back_inserter(keys), [](const Event& e) { return !e.isData; });
    return keys;
}

size_t CRecordingHost::DataCount() const {
    std::lock_guard<std::mutex> hold(lock);
    return std::count_if(events.begin(), events.end(), [](const Event& e) { return e.isData; });
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
