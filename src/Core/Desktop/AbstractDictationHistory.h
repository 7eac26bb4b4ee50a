#pragma once

#include "Models/TranscriptionResult.h"

#include <QList>

// The stored dictations as the history window shows them (the history store keeps them). Main
// thread only.
class AbstractDictationHistory {
public:
    virtual ~AbstractDictationHistory() = default;
    // Newest first.
    virtual const QList<TranscriptionResult>& recentHistory() const = 0;
    // Empties the stored dictations; recentHistory() follows once the deletion has run.
    virtual void clearAll() = 0;
};
