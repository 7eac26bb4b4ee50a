#pragma once

#include <QString>

#include <optional>

// One word of the user's personal dictionary: a word to recognise, optionally a replacement
// for it, or (as a snippet) a trigger whose replacement is pasted instead.
struct DictionaryEntry {
    QString word;
    std::optional<QString> replacement;
    bool isSnippet = false;
    int frequencyUsed = 0;

    bool operator==(const DictionaryEntry&) const = default;
};
