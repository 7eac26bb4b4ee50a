#pragma once

#include "Models/TranscriptionContext.h"

#include <QStringList>

#include <QCoro/QCoroTask>

class AbstractDictionarySource;
struct TranscriptionResult;
struct VantroseSettings;

// Gathers, at the start of each dictation, what the recognisers and formatters may use about
// where the text will go, and remembers the previous dictation for the next one.
class AbstractContextEngine {
public:
    virtual ~AbstractContextEngine() = default;

    // Always answers a context; a source that cannot be read leaves its empty value.
    // `dictionary` is read before the first suspension, so it need only live for the call.
    virtual QCoro::Task<TranscriptionContext> buildTranscriptionContext(VantroseSettings settings,
                                                                        const AbstractDictionarySource& dictionary) = 0;
    // Keeps the finished dictation's texts and language for the next context.
    virtual void updateAfterTranscription(const TranscriptionResult& result) = 0;
    // Application identifiers dictated into since launch, in order of first use.
    virtual QStringList sessionDictationApps() const = 0;
};
