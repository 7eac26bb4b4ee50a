#pragma once

#include "Models/DictionaryEntry.h"

#include <QList>

// The user's personal dictionary as the context gathering reads it (the history store keeps
// it). Safe to call from any thread; answers a snapshot.
class AbstractDictionarySource {
public:
    virtual ~AbstractDictionarySource() = default;
    // Every entry, in the store's order.
    virtual QList<DictionaryEntry> dictionaryEntries() const = 0;
};
