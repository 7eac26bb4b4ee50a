#pragma once

#include <QString>

#include <optional>

// What happened during one paste: the pipeline's telemetry and history read it.
// Character counts are user-perceived characters (grapheme clusters).
struct PasteOutcome {
    bool success = false;
    bool clipboardSaved = false;
    bool clipboardWritten = false;
    bool pasteSimulated = false;
    bool clipboardRestored = false;  // false in the returned record; the restore runs later
    bool clipboardWriteSuccessful = false;
    int clipboardLengthBefore = 0;
    int clipboardLengthAfter = 0;
    double pasteOutcomeMs = 0;  // start of the paste until the paste chord's key-up was sent
    std::optional<double> helperPasteProcessingMs;
    bool focusedControlChanged = false;  // another application came to the front during the paste
    bool hasPrivilegeIssues = false;     // the key injection was not permitted
    int textLength = 0;
    double totalTimeMs = 0;  // equal to pasteOutcomeMs
    // What the user is told when the text did not reach the field by itself (it was left on the
    // clipboard to paste by hand, and why); empty when the paste went through or failed silently
    // as a lost focus does.
    QString userNotice;

    bool operator==(const PasteOutcome&) const = default;
};
