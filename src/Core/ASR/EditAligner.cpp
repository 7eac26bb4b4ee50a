#include "Core/ASR/EditAligner.h"

#include "Core/TextUnits.h"

#include <algorithm>
#include <vector>

namespace {

constexpr int kMatchScore = 5;
constexpr int kMismatchScore = -3;
constexpr int kGapScore = -4;

}  // namespace

QString EditAligner::rawValue(Action action) {
    switch (action) {
    case Action::match: return QStringLiteral("M");
    case Action::substitution: return QStringLiteral("S");
    case Action::insertion: return QStringLiteral("I");
    case Action::deletion: return QStringLiteral("D");
    }
    return {};
}

std::optional<EditAligner::Action> EditAligner::actionFromRawValue(const QString& raw) {
    for (Action action : {Action::match, Action::substitution, Action::insertion, Action::deletion}) {
        if (rawValue(action) == raw)
            return action;
    }
    return std::nullopt;
}

QList<EditAligner::AlignmentStep> EditAligner::align(const QString& original, const QString& edited) {
    const QStringList a = TextUnits::splitAtSpaces(original);
    const QStringList b = TextUnits::splitAtSpaces(edited);
    if (a.isEmpty() || b.isEmpty())
        return {};

    QStringList aLower, bLower;
    for (const QString& w : a) aLower << w.toLower();
    for (const QString& w : b) bLower << w.toLower();

    const qsizetype m = a.size();
    const qsizetype n = b.size();
    const qsizetype width = n + 1;
    std::vector<int> table(static_cast<size_t>((m + 1) * width));
    auto cell = [&](qsizetype i, qsizetype j) -> int& { return table[static_cast<size_t>(i * width + j)]; };
    auto pairScore = [&](qsizetype i, qsizetype j) {
        return aLower[i - 1] == bLower[j - 1] ? kMatchScore : kMismatchScore;
    };

    for (qsizetype i = 0; i <= m; ++i) cell(i, 0) = kGapScore * static_cast<int>(i);
    for (qsizetype j = 0; j <= n; ++j) cell(0, j) = kGapScore * static_cast<int>(j);
    for (qsizetype i = 1; i <= m; ++i) {
        for (qsizetype j = 1; j <= n; ++j) {
            cell(i, j) = std::max({cell(i - 1, j - 1) + pairScore(i, j),
                                   cell(i - 1, j) + kGapScore,
                                   cell(i, j - 1) + kGapScore});
        }
    }

    QList<AlignmentStep> steps;
    qsizetype i = m;
    qsizetype j = n;
    while (i > 0 || j > 0) {
        // The diagonal needs both indices in range: along the table's edges only gaps remain.
        if (i > 0 && j > 0 && cell(i, j) == cell(i - 1, j - 1) + pairScore(i, j)) {
            const Action action = aLower[i - 1] == bLower[j - 1] ? Action::match : Action::substitution;
            steps << AlignmentStep{action, a[i - 1], b[j - 1]};
            --i;
            --j;
        } else if (i > 0 && cell(i, j) == cell(i - 1, j) + kGapScore) {
            steps << AlignmentStep{Action::deletion, a[i - 1], QString()};
            --i;
        } else {
            steps << AlignmentStep{Action::insertion, QString(), b[j - 1]};
            --j;
        }
    }
    std::reverse(steps.begin(), steps.end());
    return steps;
}

QList<EditAligner::Correction> EditAligner::extractCorrections(const QList<AlignmentStep>& alignment) {
    QList<Correction> corrections;
    for (qsizetype k = 0; k < alignment.size(); ++k) {
        const AlignmentStep& step = alignment[k];
        if (step.action != Action::substitution)
            continue;
        const bool previousIsMatch = k == 0 || alignment[k - 1].action == Action::match;
        const bool nextIsMatch = k + 1 == alignment.size() || alignment[k + 1].action == Action::match;
        if (previousIsMatch && nextIsMatch)
            corrections << Correction{step.originalWord, step.editedWord};
    }
    return corrections;
}
