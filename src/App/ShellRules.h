#pragma once

#include "Models/DictationStatus.h"

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <chrono>

// The rules behind the tray icon, the window sizes and the overlay panel, kept apart from the
// widgets so they can be checked on their own.
namespace ShellRules {

// The tray icon of a status: a symbol name (drawn by TrayIcons) and its accessible description.
struct StatusIcon {
    QString symbol;
    QString description;
};
StatusIcon launchIcon();
StatusIcon iconForStatus(DictationStatus status);

// Sizes and places from a screen's available area (its geometry less panels and docks).
// `content`: what the hub's content asks for at first (its dashboard without a scroll bar); the
// window opens at least that large while the screen allows.
QRect hubGeometry(const QRect& available, const QSize& content = QSize());
QRect onboardingGeometry(const QRect& available);
// Top-left corner of the overlay panel: horizontally centred, 20 px above the bottom edge.
QPoint overlayOrigin(const QRect& available, const QSize& size);

// One observer tick of the overlay panel.
struct OverlayInput {
    DictationStatus status = DictationStatus::idle;
    bool showOverlay = true;
    bool hasTypingSuggestion = false;
    bool isPersistentMode = false;
};
struct OverlayFrame {
    bool visible = false;
    double opacity = 0.0;
    bool acceptsMouse = false;
};
bool overlayWanted(const OverlayInput& input);
OverlayFrame nextOverlayFrame(const OverlayFrame& current, const OverlayInput& input);

constexpr int kOverlayWidth = 400;
constexpr int kOverlayHeight = 160;
constexpr auto kObserverInterval = std::chrono::milliseconds(100);

// The settings window opens at its pane's size and shrinks no further than this; every tab of
// the pane scrolls to its last control at either size.
inline constexpr QSize kSettingsSize{520, 540};
inline constexpr QSize kSettingsMinimumSize{500, 450};

}  // namespace ShellRules
