#include "Models/VoiceStyle.h"

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

std::optional<QString> instructionFor(const VantroseSettings& settings, const QString& bundleId) {
    if (bundleId.isEmpty()) return std::nullopt;
    for (const AppInstruction& entry : settings.appInstructions)
        if (entry.bundleId == bundleId) return entry.instruction;
    return std::nullopt;
}

VoiceStyle forApp(const VantroseSettings& settings, const QString& bundleId) {
    const std::optional<QString> text = instructionFor(settings, bundleId);
    return text ? from(*text) : VoiceStyle::natural;
}

}  // namespace VoiceStyles
