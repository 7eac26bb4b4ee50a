#include "UI/Settings/VoiceStyle.h"

#include "Core/Pipeline/DictationPipeline.h"

#include <QSet>

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
    return VoiceStyles::instructionFor(settings, bundleId);
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
