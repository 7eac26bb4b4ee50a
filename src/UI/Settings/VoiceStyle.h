#pragma once

#include "Models/TranscriptionResult.h"
#include "Models/VantroseSettings.h"
#include "Models/VoiceStyle.h"

#include <QList>
#include <QString>

class DictationPipeline;

// The per-application instructions as the voice styles tab reads and writes them.
namespace AppInstructions {

struct DetectedApp {
    QString name;
    QString bundleId;
    bool operator==(const DetectedApp&) const = default;
};

// Each application of the recent results once, by its latest dictation; results without an
// application identifier are left out, an empty name is replaced by the identifier.
QList<DetectedApp> detectedApps(const QList<TranscriptionResult>& recentResults);

// The stored instruction of an application: the first entry with its identifier.
std::optional<QString> instructionFor(const VantroseSettings& settings, const QString& bundleId);

// Removes the application's entries (one settings write), then appends the style's entry
// unless the style is natural (a second write).
void setStyle(DictationPipeline& pipeline, VoiceStyle style, const QString& bundleId, const QString& appName);
// Removes the application's entries (one write), then appends the text unchanged unless it is
// blank (a second write).
void setCustomInstruction(DictationPipeline& pipeline, const QString& text, const QString& bundleId,
                          const QString& appName);

}  // namespace AppInstructions
