#pragma once

#include "Models/TranscriptionResult.h"

// A finished dictation into one application, for the voice styles tests.
inline TranscriptionResult resultIn(const QString& bundleId, const QString& appName) {
    TranscriptionResult::Fields fields;
    fields.appBundleId = bundleId;
    fields.appName = appName;
    return TranscriptionResult(fields);
}
