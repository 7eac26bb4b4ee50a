#pragma once

#include "Models/DictationStatus.h"
#include "UI/Motion/Spring.h"

#include <QSizeF>
#include <QString>

#include <functional>
#include <vector>

// What the overlay pill looks like for each dictation state: its size, corners, outline,
// shadow and face. Plain values only, so every rule is testable without a display.
namespace OverlayPill {

// What the pill's look depends on besides the status.
struct Inputs {
    DictationStatus status = DictationStatus::idle;
    bool hovered = false;
    bool persistent = false;   // a hands-free dictation runs
    bool expanded = false;     // the expanded-pill setting
    bool textPresent = false;  // the live transcript is not empty
};

enum class Face {
    hoverHint,
    idleWaveform,
    wakeUpStretch,
    listeningEyes,          // push-to-talk listening: the level-bar eyes (WalleEyes)
    listeningEyesWithText,  // the live-text column under the listening eyes
    persistentEyes,
    persistentPausedLabel,
    pausedLabel,
    thinkingEyes,
    thinkingEyesWithText,  // the live-text column under the thinking eyes
    happyEyes,
    confusedEyes,
};

struct Shadow {
    double radius;
    double offsetY;
};

struct Outline {
    QString hex;  // "#RRGGBB"
    double opacity;
};

inline constexpr double kContentWidth = 380;
inline constexpr double kContentHeight = 140;
inline constexpr double kColumnBottomPadding = 12;
inline constexpr double kColumnSpacing = 8;
inline constexpr double kEntranceOffset = 30;

inline constexpr Animation morphSpring = Animation::spring(0.12, 0.88);
inline constexpr Animation expandSpring = Animation::spring(0.35, 0.82);
inline constexpr Animation bounceSpring = Animation::spring(0.1, 0.5);
inline constexpr Animation entranceSpring = Animation::spring(0.5, 0.75);

// `idle`, `dismissed` and `testing` look alike.
bool isIdleLike(DictationStatus status);

QSizeF pillSize(const Inputs& in);
double cornerRadius(const Inputs& in);
Outline borderColor(DictationStatus status);
Shadow shadow(DictationStatus status);
Face pillContent(const Inputs& in);
// The animation of the pill's own size and corners.
const Animation& shapeAnimation(bool expanded);
bool showsLiveText(Face face);
// Opacity of the live text under the face.
double liveTextOpacity(Face face);

// Folds a new list of level bands into the smoothed ones: rising bands follow quickly,
// falling ones slowly. Only the first min(10, bands.size()) entries change.
void smoothBands(std::vector<float>& smooth, const std::vector<float>& bands);

// The end of `text` that fits: the whole text when `fits` accepts it, otherwise "…" followed by
// the longest tail, cut at a word start where one is close, that `fits` accepts.
QString elideHead(const QString& text, const std::function<bool(const QString&)>& fits);

}  // namespace OverlayPill
