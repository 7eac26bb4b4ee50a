#pragma once

#include <QByteArray>
#include <QStringList>

#include <optional>

// The words read from the display under the pointer at the start of a dictation.
// The empty result has no words, no screenshot and all times 0.
struct ScreenCaptureResult {
    QStringList ocrWords;                      // at most 200, reading order, no duplicates
    std::optional<QByteArray> screenshotData;  // PNG
    double captureTimeMs = 0;
    double ocrTimeMs = 0;
    double totalTimeMs = 0;  // start of the call until recognition ended

    bool operator==(const ScreenCaptureResult&) const = default;
};
