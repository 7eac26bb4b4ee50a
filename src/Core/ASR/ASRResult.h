#pragma once

#include <QString>

// One recognition result, whichever recogniser produced it.
struct ASRResult {
    QString text;
    float confidence = 0.0f;       // 0..1
    QString language;              // e.g. "en-US"
    double latencyMs = 0.0;        // wall time of the call
    bool serverFormatted = false;  // true only when a server already formatted the text
    // The recogniser stopped at its deadline: the text covers only the start of the audio.
    bool partial = false;
    QString unformattedText;  // with serverFormatted: the server's own recognition, unformatted
};
