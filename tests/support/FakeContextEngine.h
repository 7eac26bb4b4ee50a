#pragma once

#include "Core/Desktop/AbstractContextEngine.h"
#include "Core/Desktop/AbstractDictionarySource.h"
#include "Models/TranscriptionResult.h"
#include "Models/VantroseSettings.h"
#include "support/FakeSupport.h"

#include <QList>

#include <optional>

// A dictionary the test fills.
class FakeDictionarySource final : public AbstractDictionarySource {
public:
    QList<DictionaryEntry> entries;
    QList<DictionaryEntry> dictionaryEntries() const override { return entries; }
};

// A context engine that answers `context` after `delay` and records its calls.
class FakeContextEngine final : public AbstractContextEngine, private FakeLifetime {
public:
    struct BuildCall {
        VantroseSettings settings;
        QList<DictionaryEntry> dictionary;
    };

    TranscriptionContext context;
    std::chrono::milliseconds delay{0};
    std::optional<QString> failure;  // thrown (as a runtime error) after the delay
    QStringList sessionApps;
    QList<BuildCall> buildCalls;
    QList<TranscriptionResult> updates;

    QCoro::Task<TranscriptionContext> buildTranscriptionContext(VantroseSettings settings,
                                                                const AbstractDictionarySource& dictionary) override;
    void updateAfterTranscription(const TranscriptionResult& result) override { updates.append(result); }
    QStringList sessionDictationApps() const override { return sessionApps; }
};
