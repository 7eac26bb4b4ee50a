#pragma once

#include "Models/RawValue.h"
#include "Models/TranscriptionResult.h"
#include "Models/VantroseSettings.h"

#include <QList>
#include <QString>

class DictationPipeline;

// A writing style the user can give one application. The raw value is also its label.
enum class VoiceStyle { natural, professional, casual, technical, creative, notes };

template <>
struct RawValueTable<VoiceStyle> {
    static constexpr std::pair<VoiceStyle, const char*> cases[] = {
        {VoiceStyle::natural, "Natural"},   {VoiceStyle::professional, "Professional"},
        {VoiceStyle::casual, "Casual"},     {VoiceStyle::technical, "Technical"},
        {VoiceStyle::creative, "Creative"}, {VoiceStyle::notes, "Notes"},
    };
};

namespace VoiceStyles {

// The instruction stored for the style; empty for natural.
QString instruction(VoiceStyle style);
// The name of the style's symbol.
QString icon(VoiceStyle style);
// The one-line description of the style's card.
QString cardDescription(VoiceStyle style);
// The style whose instruction is exactly `instruction`; natural for any other text.
VoiceStyle from(const QString& instruction);

}  // namespace VoiceStyles

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
