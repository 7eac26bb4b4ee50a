#include "UI/Overlay/OverlayPillRules.h"

#include <algorithm>

namespace OverlayPill {

bool isIdleLike(DictationStatus status) {
    return status == DictationStatus::idle || status == DictationStatus::dismissed ||
           status == DictationStatus::testing;
}

QSizeF pillSize(const Inputs& in) {
    switch (in.status) {
    case DictationStatus::idle:
    case DictationStatus::dismissed:
    case DictationStatus::testing: return in.hovered ? QSizeF(140, 36) : QSizeF(40, 10);
    case DictationStatus::initializing:
    case DictationStatus::inserting:
    case DictationStatus::error: return {56, 34};
    case DictationStatus::listening:
        if (in.persistent) return in.expanded && in.textPresent ? QSizeF(340, 78) : QSizeF(200, 42);
        if (!in.expanded) return {100, 38};
        return in.textPresent ? QSizeF(320, 74) : QSizeF(120, 40);
    case DictationStatus::paused: return in.persistent ? QSizeF(190, 40) : QSizeF(100, 36);
    case DictationStatus::stopping:
    case DictationStatus::processing:
    case DictationStatus::retrying: return in.expanded && in.textPresent ? QSizeF(300, 66) : QSizeF(56, 34);
    }
    return {56, 34};
}

double cornerRadius(const Inputs& in) {
    if (isIdleLike(in.status) && !in.hovered) return pillSize(in).height() / 2;
    return 16;
}

Outline borderColor(DictationStatus status) {
    switch (status) {
    case DictationStatus::error: return {QStringLiteral("#F5A623"), 0.12};
    case DictationStatus::inserting: return {QStringLiteral("#FFFFFF"), 0.15};
    case DictationStatus::listening: return {QStringLiteral("#FFFFFF"), 0.12};
    default: return {QStringLiteral("#FFFFFF"), 0.06};
    }
}

Shadow shadow(DictationStatus status) { return isIdleLike(status) ? Shadow{4, 2} : Shadow{16, 4}; }

Face pillContent(const Inputs& in) {
    switch (in.status) {
    case DictationStatus::idle:
    case DictationStatus::dismissed:
    case DictationStatus::testing: return in.hovered ? Face::hoverHint : Face::idleWaveform;
    case DictationStatus::initializing: return Face::wakeUpStretch;
    case DictationStatus::listening:
        if (in.persistent) return Face::persistentEyes;
        return in.expanded && in.textPresent ? Face::listeningEyesWithText : Face::listeningEyes;
    case DictationStatus::paused: return in.persistent ? Face::persistentPausedLabel : Face::pausedLabel;
    case DictationStatus::stopping:
    case DictationStatus::processing:
    case DictationStatus::retrying:
        return in.expanded && in.textPresent ? Face::thinkingEyesWithText : Face::thinkingEyes;
    case DictationStatus::inserting: return Face::happyEyes;
    case DictationStatus::error: return Face::confusedEyes;
    }
    return Face::idleWaveform;
}

const Animation& shapeAnimation(bool expanded) { return expanded ? expandSpring : morphSpring; }

bool showsLiveText(Face face) { return face == Face::listeningEyesWithText || face == Face::thinkingEyesWithText; }

double liveTextOpacity(Face face) { return face == Face::thinkingEyesWithText ? 0.55 : 0.85; }

void smoothBands(std::vector<float>& smooth, const std::vector<float>& bands) {
    smooth.resize(10, 0.0f);
    const size_t count = std::min<size_t>(10, bands.size());
    for (size_t i = 0; i < count; ++i) {
        const float s = smooth[i];
        const float b = bands[i];
        smooth[i] = s < b ? 0.7f * b + 0.3f * s : 0.25f * b + 0.75f * s;
    }
}

QString elideHead(const QString& text, const std::function<bool(const QString&)>& fits) {
    if (text.isEmpty() || fits(text)) return text;
    const QString ellipsis = QStringLiteral("…");
    // The smallest cut that fits, found by bisection: a later cut leaves less text.
    qsizetype low = 1, high = text.size();
    while (low < high) {
        const qsizetype mid = low + (high - low) / 2;
        if (fits(ellipsis + text.mid(mid)))
            high = mid;
        else
            low = mid + 1;
    }
    qsizetype cut = high;
    // Never start between the two halves of a character outside the basic plane (an emoji).
    if (cut < text.size() && text.at(cut).isLowSurrogate()) ++cut;
    // Start at the next word rather than inside one, unless that drops a long stretch.
    const qsizetype space = text.indexOf(QLatin1Char(' '), cut - 1);
    if (cut > 0 && !text.at(cut - 1).isSpace() && space >= 0 && space + 1 < text.size() && space - cut < 12)
        cut = space + 1;
    while (cut < text.size() && text.at(cut).isSpace()) ++cut;
    return ellipsis + text.mid(cut);
}

}  // namespace OverlayPill
