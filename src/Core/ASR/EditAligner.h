#pragma once

#include "Models/RawValue.h"

#include <QList>
#include <QString>

#include <optional>

// Aligns the words of a pasted text with the words the user left in the field afterwards,
// so the corrected word pairs can be learned. Pure; any thread.
class EditAligner {
public:
    enum class Action { match, substitution, insertion, deletion };  // raw values "M", "S", "I", "D"

    struct AlignmentStep {
        Action action = Action::match;
        QString originalWord;  // empty for an insertion
        QString editedWord;    // empty for a deletion
        bool operator==(const AlignmentStep&) const = default;
    };

    struct Correction {
        QString wrong;
        QString correct;
        bool operator==(const Correction&) const = default;
    };

    // Texts whose word counts multiply to more than this are aligned only between the words they
    // share at either end (see align()), so a long field costs linear time, not quadratic.
    static constexpr qsizetype maxAlignedCells = 250'000;

    // Global word alignment (case-insensitive word equality); empty when either text has no words.
    static QList<AlignmentStep> align(const QString& original, const QString& edited);
    // Substitutions with a match (or the alignment's end) on both sides.
    static QList<Correction> extractCorrections(const QList<AlignmentStep>& alignment);
};

template <>
struct RawValueTable<EditAligner::Action> {
    using A = EditAligner::Action;
    static constexpr std::pair<A, const char*> cases[] = {
        {A::match, "M"}, {A::substitution, "S"}, {A::insertion, "I"}, {A::deletion, "D"}};
};
