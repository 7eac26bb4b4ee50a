// A dictation record through the history database and back: texts and optional values from
// the input (fields split at 0x1F: raw, formatted, app name, bundle id, URL, latency JSON), saved
// by one store and reloaded by a fresh one. What was saved must come back: texts exactly, the
// latency record whole.
#include "FuzzSupport.h"

#include "Storage/HistoryStore.h"

#include <QFile>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    const QStringList parts = Fuzz::fields(data, size, 6);
    static const QString path = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/fuzz-history.sqlite");
    QFile::remove(path);

    TranscriptionResult::Fields fields;
    fields.rawText = parts[0];
    fields.formattedText = parts[1];
    fields.appName = parts[2];
    fields.appBundleId = parts[3];
    if (!parts[4].isEmpty()) fields.appURL = parts[4];
    if (auto latency = JsonCoding::decode<DictationLatencyMetrics>(parts[5].toUtf8()))
        fields.latencyMetrics = latency.value();
    const TranscriptionResult saved(fields);
    {
        HistoryStore store(path);
        store.initialize();
        store.save(saved);
        store.flush();
    }
    HistoryStore reloaded(path);
    reloaded.initialize();
    Fuzz::check(reloaded.recentHistory().size() == 1, "a saved dictation reloads");
    const TranscriptionResult& back = reloaded.recentHistory().front();
    Fuzz::check(back.rawText == saved.rawText && back.formattedText == saved.formattedText &&
                    back.appName == saved.appName && back.appBundleId == saved.appBundleId &&
                    back.appURL == saved.appURL,
                "a reloaded dictation keeps its texts", saved.rawText);
    Fuzz::check(Fuzz::bytes(back.latencyMetrics.toJson()) == Fuzz::bytes(saved.latencyMetrics.toJson()),
                "a reloaded dictation keeps its latency record", Fuzz::bytes(saved.latencyMetrics.toJson()));
    return 0;
}
