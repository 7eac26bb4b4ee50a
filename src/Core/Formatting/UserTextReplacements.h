#pragma once

#include "Models/VantroseSettings.h"

#include <QList>
#include <QString>

// Applies the user's replacement rules to finished text, in list order, each on the result of
// the ones before. Triggers match whole words, ignoring case; a multi-word trigger also
// matches with hyphens, underscores, periods, commas or nothing between its words. The
// replacement is inserted exactly as the user wrote it.
class UserTextReplacements {
public:
    static QString apply(const QString& text, const QList<TextReplacement>& replacements);
};
