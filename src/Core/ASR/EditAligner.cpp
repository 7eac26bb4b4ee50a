#include "Core/ASR/EditAligner.h"

#include "Core/Formatting/TextUnits.h"

#include <algorithm>
#include <vector>

namespace {

constexpr int kMatchScore = 5;
constexpr int kMismatchScore = -3;
constexpr int kGapScore = -4;

}  // namespace

namespace {

// Global alignment of the words a[aBegin, aEnd) with b[bBegin, bEnd), appended to `steps`.
void alignRange(const QStringList& a, const QStringList& aLower, qsizetype aBegin, qsizetype aEnd, const QStringList& b,
                const QStringList& bLower, qsizetype bBegin, qsizetype bEnd, QList<EditAligner::AlignmentStep>& steps) {
    using Action = EditAligner::Action;
    const qsizetype m = aEnd - aBegin;
    const qsizetype n = bEnd - bBegin;
    const qsizetype width = n + 1;
    std::vector<int> table(static_cast<size_t>((m + 1) * width));
    auto cell = [&](qsizetype i, qsizetype j) -> int& { return table[static_cast<size_t>(i * width + j)]; };
    auto same = [&](qsizetype i, qsizetype j) { return aLower[aBegin + i - 1] == bLower[bBegin + j - 1]; };
    auto pairScore = [&](qsizetype i, qsizetype j) { return same(i, j) ? kMatchScore : kMismatchScore; };

    for (qsizetype i = 0; i <= m; ++i) cell(i, 0) = kGapScore * static_cast<int>(i);
    for (qsizetype j = 0; j <= n; ++j) cell(0, j) = kGapScore * static_cast<int>(j);
    for (qsizetype i = 1; i <= m; ++i) {
        for (qsizetype j = 1; j <= n; ++j) {
            cell(i, j) = std::max(
                {cell(i - 1, j - 1) + pairScore(i, j), cell(i - 1, j) + kGapScore, cell(i, j - 1) + kGapScore});
        }
    }

    QList<EditAligner::AlignmentStep> reversed;
    qsizetype i = m;
    qsizetype j = n;
    while (i > 0 || j > 0) {
        // The diagonal needs both indices in range: along the table's edges only gaps remain.
        if (i > 0 && j > 0 && cell(i, j) == cell(i - 1, j - 1) + pairScore(i, j)) {
            const Action action = same(i, j) ? Action::match : Action::substitution;
            reversed << EditAligner::AlignmentStep{action, a[aBegin + i - 1], b[bBegin + j - 1]};
            --i;
            --j;
        } else if (i > 0 && cell(i, j) == cell(i - 1, j) + kGapScore) {
            reversed << EditAligner::AlignmentStep{Action::deletion, a[aBegin + i - 1], QString()};
            --i;
        } else {
            reversed << EditAligner::AlignmentStep{Action::insertion, QString(), b[bBegin + j - 1]};
            --j;
        }
    }
    std::reverse(reversed.begin(), reversed.end());
    steps << reversed;
}

}  // namespace

QList<EditAligner::AlignmentStep> EditAligner::align(const QString& original, const QString& edited) {
    const QStringList a = TextUnits::splitAtSpaces(original);
    const QStringList b = TextUnits::splitAtSpaces(edited);
    if (a.isEmpty() || b.isEmpty()) return {};

    QStringList aLower, bLower;
    for (const QString& w : a) aLower << w.toLower();
    for (const QString& w : b) bLower << w.toLower();

    QList<AlignmentStep> steps;
    const qsizetype m = a.size();
    const qsizetype n = b.size();
    if (m * n <= maxAlignedCells) {
        alignRange(a, aLower, 0, m, b, bLower, 0, n, steps);
        return steps;
    }

    // Long texts: the table grows with the product of the lengths. Words the two texts share at
    // either end are matches; only the part between them is aligned, and when even that is too
    // large it is given as deleted and inserted words, from which nothing is learned.
    qsizetype head = 0;
    while (head < m && head < n && aLower[head] == bLower[head]) ++head;
    qsizetype tail = 0;
    while (tail < m - head && tail < n - head && aLower[m - 1 - tail] == bLower[n - 1 - tail]) ++tail;
    for (qsizetype k = 0; k < head; ++k) steps << AlignmentStep{Action::match, a[k], b[k]};
    const qsizetype aEnd = m - tail;
    const qsizetype bEnd = n - tail;
    if ((aEnd - head) * (bEnd - head) <= maxAlignedCells) {
        alignRange(a, aLower, head, aEnd, b, bLower, head, bEnd, steps);
    } else {
        for (qsizetype k = head; k < aEnd; ++k) steps << AlignmentStep{Action::deletion, a[k], QString()};
        for (qsizetype k = head; k < bEnd; ++k) steps << AlignmentStep{Action::insertion, QString(), b[k]};
    }
    for (qsizetype k = 0; k < tail; ++k) steps << AlignmentStep{Action::match, a[aEnd + k], b[bEnd + k]};
    return steps;
}

QList<EditAligner::Correction> EditAligner::extractCorrections(const QList<AlignmentStep>& alignment) {
    QList<Correction> corrections;
    for (qsizetype k = 0; k < alignment.size(); ++k) {
        const AlignmentStep& step = alignment[k];
        if (step.action != Action::substitution) continue;
        const bool previousIsMatch = k == 0 || alignment[k - 1].action == Action::match;
        const bool nextIsMatch = k + 1 == alignment.size() || alignment[k + 1].action == Action::match;
        if (previousIsMatch && nextIsMatch) corrections << Correction{step.originalWord, step.editedWord};
    }
    return corrections;
}
