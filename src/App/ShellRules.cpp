#include "App/ShellRules.h"

#include <algorithm>
#include <cmath>

namespace ShellRules {

StatusIcon launchIcon() { return {QStringLiteral("waveform.circle.fill"), QStringLiteral("Vantrose")}; }

StatusIcon iconForStatus(DictationStatus status) {
    const QString vantrose = QStringLiteral("Vantrose");
    switch (status) {
    case DictationStatus::idle:
    case DictationStatus::dismissed:
    case DictationStatus::testing: return {QStringLiteral("waveform"), vantrose};
    case DictationStatus::initializing: return {QStringLiteral("waveform.circle.fill"), vantrose};
    case DictationStatus::listening: return {QStringLiteral("mic.fill"), QStringLiteral("Recording")};
    case DictationStatus::paused: return {QStringLiteral("waveform.badge.minus"), vantrose};
    case DictationStatus::stopping:
    case DictationStatus::processing:
    case DictationStatus::retrying: return {QStringLiteral("ellipsis.circle"), QStringLiteral("Processing")};
    case DictationStatus::inserting: return {QStringLiteral("checkmark.circle.fill"), vantrose};
    case DictationStatus::error: return {QStringLiteral("exclamationmark.triangle.fill"), vantrose};
    }
    return {QStringLiteral("waveform"), vantrose};
}

namespace {
QRect centred(const QRect& available, int width, int height) {
    // QRect::center() rounds down for even sizes; compute from the exact middle instead.
    const int x = int(std::lround(available.x() + available.width() / 2.0 - width / 2.0));
    const int y = int(std::lround(available.y() + available.height() / 2.0 - height / 2.0));
    return QRect(x, y, width, height);
}
}  // namespace

QRect hubGeometry(const QRect& available, const QSize& content) {
    int width = int(std::max(0.5 * available.width(), 750.0));
    int height = int(std::max(0.55 * available.height(), 500.0));
    if (content.isValid()) {
        width = std::max(width, std::min(content.width(), available.width()));
        // A long history does not make the window as tall as the screen.
        height = std::max(height, std::min(content.height(), int(0.9 * available.height())));
    }
    return centred(available, width, height);
}

QRect onboardingGeometry(const QRect& available) {
    const int width = int(std::max(0.55 * available.width(), 700.0));
    const int height = int(std::max(0.6 * available.height(), 550.0));
    return centred(available, width, height);
}

QPoint overlayOrigin(const QRect& available, const QSize& size) {
    const int x = int(std::lround(available.x() + available.width() / 2.0 - size.width() / 2.0));
    // Screen coordinates grow downwards here: 20 px of the available area stay free below the panel.
    const int y = available.y() + available.height() - 20 - size.height();
    return QPoint(x, y);
}

bool overlayWanted(const OverlayInput& input) {
    if (!input.showOverlay) return false;
    if (input.hasTypingSuggestion) return true;
    switch (input.status) {
    case DictationStatus::idle:
    case DictationStatus::dismissed:
    case DictationStatus::testing: return false;
    default: return true;
    }
}

OverlayFrame nextOverlayFrame(const OverlayFrame& current, const OverlayInput& input) {
    OverlayFrame next = current;
    if (overlayWanted(input)) {
        if (!next.visible) {
            next.visible = true;
            next.opacity = 0.0;
        }
        if (next.opacity < 1.0) next.opacity = std::min(next.opacity + 0.4, 1.0);
        next.acceptsMouse = input.isPersistentMode &&
                            (input.status == DictationStatus::listening || input.status == DictationStatus::paused);
        return next;
    }
    if (!next.visible) return next;
    if (next.opacity > 0.0) {
        next.opacity -= 0.3;
        // Steps of 0.3 from 1.0 leave a rounding remainder; treat it as fully faded.
        if (next.opacity <= 1e-9) next.opacity = 0.0;
    }
    if (next.opacity == 0.0) next.visible = false;
    return next;
}

}  // namespace ShellRules
