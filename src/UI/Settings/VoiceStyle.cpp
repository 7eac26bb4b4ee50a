#include "UI/Settings/VoiceStyle.h"

#include "Core/Pipeline/DictationPipeline.h"

#include <QSet>

namespace VoiceStyles {
namespace {

struct StyleFacts {
    const char* icon;
    const char* instruction;
};

// In the order of the enumeration.
constexpr StyleFacts kFacts[] = {
    {"waveform", ""},
    {"briefcase", "Use professional, formal language. Proper grammar, clear structure."},
    {"bubble.left", "Keep it casual and conversational. Relaxed, natural language."},
    {"chevron.left.forwardslash.chevron.right", "Be precise and technical. Preserve code terms, acronyms, and jargon."},
    {"paintbrush", "Use expressive, literary language. Vivid and varied."},
    {"list.bullet", "Brief bullet-point style. Short phrases, no full sentences."},
};

const StyleFacts& facts(VoiceStyle style) {
    const auto index = std::size_t(style);
    return kFacts[index < std::size(kFacts) ? index : 0];
}

}  // namespace

QString instruction(VoiceStyle style) { return QString::fromUtf8(facts(style).instruction); }

QString icon(VoiceStyle style) { return QString::fromUtf8(facts(style).icon); }

QString cardDescription(VoiceStyle style) {
    if (style == VoiceStyle::natural) return QStringLiteral("As you said it");
    const QString text = instruction(style);
    return text.size() > 40 ? text.left(40) + QStringLiteral("…") : text;
}

VoiceStyle from(const QString& text) {
    for (VoiceStyle style : allCases<VoiceStyle>())
        if (instruction(style) == text) return style;
    return VoiceStyle::natural;
}

}  // namespace VoiceStyles

namespace AppInstructions {
namespace {

void removeApp(DictationPipeline& pipeline, const QString& bundleId) {
    pipeline.updateSettings([&](VantroseSettings& s) {
        s.appInstructions.removeIf([&](const AppInstruction& entry) { return entry.bundleId == bundleId; });
    });
}

void appendEntry(DictationPipeline& pipeline, const AppInstruction& entry) {
    pipeline.updateSettings([&](VantroseSettings& s) { s.appInstructions.append(entry); });
}

}  // namespace

QList<DetectedApp> detectedApps(const QList<TranscriptionResult>& recentResults) {
    QList<DetectedApp> apps;
    QSet<QString> seen;
    for (const TranscriptionResult& result : recentResults) {
        if (result.appBundleId.isEmpty() || seen.contains(result.appBundleId)) continue;
        seen.insert(result.appBundleId);
        apps.append({result.appName.isEmpty() ? result.appBundleId : result.appName, result.appBundleId});
    }
    return apps;
}

std::optional<QString> instructionFor(const VantroseSettings& settings, const QString& bundleId) {
    for (const AppInstruction& entry : settings.appInstructions)
        if (entry.bundleId == bundleId) return entry.instruction;
    return std::nullopt;
}

void setStyle(DictationPipeline& pipeline, VoiceStyle style, const QString& bundleId, const QString& appName) {
    removeApp(pipeline, bundleId);
    if (style == VoiceStyle::natural) return;
    appendEntry(pipeline, AppInstruction{bundleId, appName, VoiceStyles::instruction(style)});
}

void setCustomInstruction(DictationPipeline& pipeline, const QString& text, const QString& bundleId,
                          const QString& appName) {
    removeApp(pipeline, bundleId);
    if (text.trimmed().isEmpty()) return;
    appendEntry(pipeline, AppInstruction{bundleId, appName, text});
}

}  // namespace AppInstructions
