#pragma once

#include "Core/Input/KeySourceEvent.h"

#include <mutex>
#include <vector>

// Collects the events a key source delivers on its own thread, for the test's thread to read.
class KeyEventLog {
public:
    void add(const KeySourceEvent& e) {
        std::lock_guard lock(m_mutex);
        m_events.push_back(e);
    }
    std::vector<KeySourceEvent> events() const {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    size_t size() const { return events().size(); }
    auto handler() {
        return [this](const KeySourceEvent& e) { add(e); };
    }

private:
    mutable std::mutex m_mutex;
    std::vector<KeySourceEvent> m_events;
};
