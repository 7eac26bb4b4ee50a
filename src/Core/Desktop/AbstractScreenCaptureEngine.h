#pragma once

#include "Models/ScreenCaptureResult.h"

#include <QString>

#include <QCoro/QCoroTask>

// Reads the words on the display under the pointer.
class AbstractScreenCaptureEngine {
public:
    virtual ~AbstractScreenCaptureEngine() = default;

    // Captures the display, recognises its text off the main thread and answers the words,
    // the screenshot and the timings; the empty result when the screen cannot be grabbed.
    // `appBundleId` (may be empty) picks the placeholder texts to drop.
    virtual QCoro::Task<ScreenCaptureResult> captureAndExtract(QString appBundleId) = 0;
};
