#pragma once

#include "Core/Input/KeySourceEvent.h"

#include <memory>
#include <mutex>
#include <vector>

// Collects the events a key source delivers on its own thread, for the test's thread to read.
// The handler shares the log's storage: a source still running when the log goes (declared after
// it, so destroyed later) delivers into storage that is still there, not into freed memory.
class KeyEventLog {
public:
    void add(const KeySourceEvent& e) { m_store->add(e); }
    std::vector<KeySourceEvent> events() const { return m_store->events(); }
    size_t size() const { return events().size(); }
    auto handler() {
        return [store = m_store](const KeySourceEvent& e) { store->add(e); };
    }

private:
    struct Store {
        mutable std::mutex mutex;
        std::vector<KeySourceEvent> list;
        void add(const KeySourceEvent& e) {
            std::lock_guard lock(mutex);
            list.push_back(e);
        }
        std::vector<KeySourceEvent> events() const {
            std::lock_guard lock(mutex);
            return list;
        }
    };
    std::shared_ptr<Store> m_store = std::make_shared<Store>();
};
