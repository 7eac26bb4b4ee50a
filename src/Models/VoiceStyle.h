#pragma once

#include "Models/RawValue.h"
#include "Models/VantroseSettings.h"

#include <QString>

#include <optional>

// A writing style the user can give one application. The raw value is also its label. The
// choice is stored as the style's instruction text in the settings' per-application
// instructions, so every formatter that has the settings can tell the style of the application
// in front.
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

// The stored instruction of an application: the first entry with its identifier.
std::optional<QString> instructionFor(const VantroseSettings& settings, const QString& bundleId);
// The style of an application: that of its stored instruction, natural without one (or with a
// text of the user's own).
VoiceStyle forApp(const VantroseSettings& settings, const QString& bundleId);

}  // namespace VoiceStyles
