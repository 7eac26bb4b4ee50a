#pragma once

#include "Models/TranscriptionResult.h"
#include "UI/Common/RowLabels.h"

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

// The decisions of the hub window and the history window, kept free of widgets.

enum class HubTab { home, history, instructions, replacements, settings };

struct HubTabInfo {
    HubTab tab;
    QString label;   // the sidebar text
    QString symbol;  // the glyph name
};
// Every section in sidebar order.
const std::array<HubTabInfo, 5>& hubTabs();
const HubTabInfo& hubTabInfo(HubTab tab);

// Film grain: the low bytes of the generator, one per 3 × 3 square, rows top to bottom and
// squares left to right, for a canvas of `width` × `height` (truncated to whole points).
// The seed is fixed, so every drawing of a size gives the same grain.
std::vector<std::uint8_t> filmGrainBytes(double width, double height);
constexpr int filmGrainStep = 3;
constexpr double filmGrainOpacity(std::uint8_t byte) { return byte / 255.0 * 0.045; }

// Home dashboard.
enum class StatsPeriod { thirtyDays, threeMonths, oneYear, allTime };
QString statsPeriodLabel(StatsPeriod period);

QString homeTitle(bool axGranted, bool micGranted);
QString encouragementText(std::int64_t totalWords);
QString formatTimeSaved(std::int64_t words);
int avgWPM(const QList<TranscriptionResult>& results);

struct AppSource {
    QString app;
    QString bundleId;
    std::int64_t words = 0;
    bool operator==(const AppSource&) const = default;
};
// Applications by words dictated into them, most first; a nameless one counts as "Unknown".
QList<AppSource> topSources(const QList<TranscriptionResult>& results);

// Day counts of the heat map: `numWeeks` weeks oldest first, each `numDays` days Sunday first,
// ending with the week of `today`; days after `today` stay 0. Days are local calendar days.
std::vector<std::vector<int>> buildActivityGrid(const QList<TranscriptionResult>& results, int numWeeks, int numDays,
                                                const QDate& today);
// The opacity of a day cell's fill for a count.
double heatCellOpacity(int count);

// "Hold <key> to begin" and "Hold <key> and start speaking".
QString homeEmptyHint(const QString& hotkeyName);
QString historyEmptyHint(const QString& hotkeyName);

// Permissions banner.
// `hotkey`: what a session still lacks for the hotkey in every window; the user does it outside the
// program (the desktop's settings, the input group), so the row says how and has no button.
enum class PermissionKind { accessibility, microphone, hotkey };
struct PermissionRowSpec {
    PermissionKind kind;
    QString icon;
    QString title;
    QString description;
};
// The rows for the missing permissions, Accessibility first.
// `axNotice`: what granted accessibility still lacks (the accessibility bus); shown as its own
// row while it is not empty.
// `session` speaks of the desktop's own terms for hotkey and paste: `needs`, what granting means
// there (the not-granted row's text); `notice`, what a granted session still lacks for the
// hotkey to work in every window. Both empty where the general texts hold (X11).
struct SessionInputTexts {
    QString needs;
    QString notice;
};
QList<PermissionRowSpec> permissionRows(bool axGranted, bool micGranted, const QString& axNotice = {},
                                        const SessionInputTexts& session = {});

// History: the results whose pasted text, raw text or application name contains the search
// text, ignoring case; the search text is used as typed. Empty: all of them.
QList<TranscriptionResult> filterHistory(const QList<TranscriptionResult>& results, const QString& searchText);
