#include "UI/Hub/HubRules.h"
#include "UI/Common/TranscriptRow.h"
#include "UI/Theme/HoverLift.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TranscriptionResult makeResult(const QString& formatted, const QString& app = QString(),
                               const QString& bundleId = QString(), double totalTimeMs = 0,
                               const QString& raw = QString()) {
    TranscriptionResult::Fields fields;
    fields.formattedText = formatted;
    fields.rawText = raw.isEmpty() ? formatted : raw;
    fields.appName = app;
    fields.appBundleId = bundleId;
    fields.totalTimeMs = totalTimeMs;
    return TranscriptionResult(fields);
}

TranscriptionResult withWords(TranscriptionResult r, std::int64_t words) {
    r.wordCount = words;
    return r;
}

TEST(HubRules, SidebarListsTheFiveSectionsInOrder) {
    const QStringList labels{"Home", "History", "Instructions", "Replacements", "Settings"};
    const QStringList symbols{"house", "clock", "text.bubble", "arrow.left.arrow.right", "gearshape"};
    ASSERT_EQ(hubTabs().size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(hubTabs()[i].label, labels[i]);
        EXPECT_EQ(hubTabs()[i].symbol, symbols[i]);
        EXPECT_EQ(int(hubTabs()[i].tab), i);
    }
}

TEST(HubRules, FilmGrainIsFixedAndStartsWithTheKnownBytes) {
    const auto grain = filmGrainBytes(750, 500);
    EXPECT_EQ(grain.size(), 250u * 167u);
    ASSERT_GE(grain.size(), 3u);
    EXPECT_EQ(grain[0], 147);
    EXPECT_EQ(grain[1], 46);
    EXPECT_EQ(grain[2], 26);
    EXPECT_NEAR(filmGrainOpacity(147), 0.0259, 1e-4);
    EXPECT_EQ(grain, filmGrainBytes(750, 500));
    // Fractions of a point are dropped; less than a point draws nothing.
    EXPECT_EQ(filmGrainBytes(7.9, 3.5).size(), 3u);  // 7 × 3 points: one row of three squares
    EXPECT_TRUE(filmGrainBytes(0.5, 100).empty());
    EXPECT_TRUE(filmGrainBytes(100, std::nan("")).empty());
}

TEST(HubRules, EncouragementGrowsWithTheWords) {
    const struct {
        std::int64_t words;
        QString text;
    } cases[] = {
        {0, "Start dictating to see your stats here."},
        {99, u"You\u2019re getting started. Keep going!"_qs},
        {100, "Nice progress. Your voice is faster than typing."},
        {499, "Nice progress. Your voice is faster than typing."},
        {500, u"You\u2019re a regular. 9m saved so far."_qs},
        {1999, u"You\u2019re a regular. 36m saved so far."_qs},
        {2000, "Power user. 36m saved. Your fingers thank you."},
        {6000, "Power user. 1.8h saved. Your fingers thank you."},
    };
    for (const auto& c : cases) EXPECT_EQ(encouragementText(c.words), c.text) << c.words;
}

TEST(HubRules, TimeSavedCountsOnePointOneSecondsPerWord) {
    const struct {
        std::int64_t words;
        const char* text;
    } cases[] = {{0, "<1m"}, {54, "<1m"}, {55, "1m"}, {3272, "59m"}, {3273, "1.0h"}, {32728, "10.0h"}};
    for (const auto& c : cases) EXPECT_EQ(formatTimeSaved(c.words), QString::fromLatin1(c.text)) << c.words;
}

TEST(HubRules, AverageWordsPerMinuteUsesTheRecentResults) {
    EXPECT_EQ(avgWPM({}), 0);
    EXPECT_EQ(avgWPM({withWords(makeResult("a"), 50), withWords(makeResult("b"), 10)}), 0);  // no time at all
    // 150 words over 30 s + 30 s = 150 words per minute; 100 words in 45 s truncates 133.3.
    EXPECT_EQ(avgWPM({withWords(makeResult("a", {}, {}, 30000), 100), withWords(makeResult("b", {}, {}, 30000), 50)}),
              150);
    EXPECT_EQ(avgWPM({withWords(makeResult("a", {}, {}, 45000), 100)}), 133);
    EXPECT_EQ(avgWPM({withWords(makeResult("a", {}, {}, 1e-300), 100)}), std::numeric_limits<int>::max());
}

TEST(HubRules, TopSourcesAddUpWordsPerApplication) {
    const QList<TranscriptionResult> results{
        withWords(makeResult("1", "Editor", "editor.new"), 5),
        withWords(makeResult("2", "", "nobody"), 7),
        withWords(makeResult("3", "Mail", "mail"), 20),
        withWords(makeResult("4", "Editor", "editor.old"), 10),
    };
    const QList<AppSource> sources = topSources(results);
    ASSERT_EQ(sources.size(), 3);
    EXPECT_EQ(sources[0], (AppSource{"Mail", "mail", 20}));
    // The oldest result's identifier is the one kept for a name.
    EXPECT_EQ(sources[1], (AppSource{"Editor", "editor.old", 15}));
    EXPECT_EQ(sources[2], (AppSource{"Unknown", "nobody", 7}));
    EXPECT_TRUE(topSources({}).isEmpty());
}

TEST(HubRules, ActivityGridEndsWithTheCurrentWeek) {
    const QDate today(2026, 12, 9);  // a Wednesday
    auto at = [](const QDate& day) {
        TranscriptionResult r = makeResult("x");
        r.timestamp = QDateTime(day, QTime(12, 0)).toUTC();
        return r;
    };
    QList<TranscriptionResult> results;
    for (int i = 0; i < 11; ++i) results.append(at(today));
    results.append(at(QDate(2026, 12, 6)));   // Sunday of this week
    results.append(at(QDate(2026, 10, 25)));  // Sunday six weeks earlier: the first cell
    results.append(at(QDate(2026, 10, 24)));  // before the grid
    results.append(at(QDate(2026, 12, 10)));  // tomorrow (a clock ahead): never shown

    const auto grid = buildActivityGrid(results, 7, 7, today);
    ASSERT_EQ(grid.size(), 7u);
    for (const auto& week : grid) ASSERT_EQ(week.size(), 7u);
    EXPECT_EQ(grid[6][3], 11);
    EXPECT_EQ(grid[6][0], 1);
    EXPECT_EQ(grid[0][0], 1);
    EXPECT_EQ(grid[6][4], 0);
    int total = 0;
    for (const auto& week : grid)
        for (int count : week) total += count;
    EXPECT_EQ(total, 13);

    const auto empty = buildActivityGrid({}, 3, 2, today);
    EXPECT_EQ(empty, (std::vector<std::vector<int>>(3, std::vector<int>(2, 0))));
    EXPECT_TRUE(buildActivityGrid(results, -1, 7, today).empty());
}

TEST(HubRules, HeatCellsDarkenWithTheCount) {
    const struct {
        int count;
        double opacity;
    } cases[] = {{0, 0.04}, {1, 0.12}, {2, 0.12}, {3, 0.25}, {5, 0.25}, {6, 0.4}, {10, 0.4}, {11, 0.6}, {500, 0.6}};
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(heatCellOpacity(c.count), c.opacity) << c.count;
}

TEST(HubRules, PermissionRowsNameWhatIsMissingAccessibilityFirst) {
    EXPECT_TRUE(permissionRows(true, true).isEmpty());
    const auto both = permissionRows(false, false);
    ASSERT_EQ(both.size(), 2);
    EXPECT_EQ(both[0].title, "Accessibility");
    EXPECT_EQ(both[0].icon, "hand.raised");
    EXPECT_EQ(both[0].description, "Detect hotkey & paste text");
    EXPECT_EQ(both[1].title, "Microphone");
    EXPECT_EQ(both[1].icon, "mic");
    EXPECT_EQ(both[1].description, "Capture your voice");
    ASSERT_EQ(permissionRows(true, false).size(), 1);
    EXPECT_EQ(permissionRows(true, false)[0].kind, PermissionKind::microphone);
    EXPECT_EQ(homeTitle(true, true), "Dashboard");
    EXPECT_EQ(homeTitle(true, false), "Almost there");

    // Granted accessibility without its bus: a row says what is missing and how to switch it on.
    const auto noBus = permissionRows(true, true, "Turn the bus on");
    ASSERT_EQ(noBus.size(), 1);
    EXPECT_EQ(noBus[0].kind, PermissionKind::accessibility);
    EXPECT_EQ(noBus[0].title, "Accessibility bus");
    EXPECT_EQ(noBus[0].description, "Turn the bus on");
    ASSERT_EQ(permissionRows(false, true, "Turn the bus on").size(), 1);
    EXPECT_EQ(permissionRows(false, true, "Turn the bus on")[0].title, "Accessibility");

    // A Wayland session speaks of its own needs: the missing row in its terms, and a granted
    // session that still lacks the hotkey in every window gets a row that says so.
    const SessionInputTexts wayland{"Allow the shortcuts, or join the input group", "Only in X11 windows"};
    const auto missing = permissionRows(false, true, {}, wayland);
    ASSERT_EQ(missing.size(), 1);
    EXPECT_EQ(missing[0].description, wayland.needs);
    const auto lacking = permissionRows(true, true, "Turn the bus on", wayland);
    ASSERT_EQ(lacking.size(), 2);
    EXPECT_EQ(lacking[0].title, "Hotkey");
    EXPECT_EQ(lacking[0].kind, PermissionKind::hotkey);  // the banner gives it no button
    EXPECT_EQ(lacking[0].description, wayland.notice);
    EXPECT_EQ(lacking[1].title, "Accessibility bus");
    EXPECT_TRUE(permissionRows(true, true, {}, {wayland.needs, {}}).isEmpty());
}

TEST(HubRules, HistoryFilterSearchesPastedTextRawTextAndApplication) {
    // The user's replacement turned "btw" into "by the way" in what was pasted.
    TranscriptionResult replaced = makeResult("Thanks btw", "Chat", {}, 0, "thanks btw");
    replaced.pastedText = "Thanks by the way";
    const QList<TranscriptionResult> results{
        makeResult("Say hello there", "Notes"),
        makeResult("Formatted away", "Mail", {}, 0, "the raw greeting"),
        makeResult("Nothing  here", "Mail"),
        makeResult("Other", "Terminal"),
        replaced,
    };
    auto texts = [](const QList<TranscriptionResult>& list) {
        QStringList out;
        for (const auto& r : list) out.append(r.formattedText);
        return out;
    };
    EXPECT_EQ(filterHistory(results, QString()).size(), 5);
    EXPECT_EQ(texts(filterHistory(results, "BY THE WAY")), QStringList{"Thanks btw"});
    EXPECT_EQ(texts(filterHistory(results, "btw")), QStringList{"Thanks btw"});  // the raw text still counts
    EXPECT_EQ(texts(filterHistory(results, "HELLO")), QStringList{"Say hello there"});
    EXPECT_EQ(texts(filterHistory(results, "greeting")), QStringList{"Formatted away"});
    EXPECT_EQ(texts(filterHistory(results, "mail")), (QStringList{"Formatted away", "Nothing  here"}));
    // Used as typed: two spaces match only the text holding two spaces.
    EXPECT_EQ(texts(filterHistory(results, "  ")), QStringList{"Nothing  here"});
    EXPECT_TRUE(filterHistory(results, "zebra").isEmpty());
}

TEST(HubRules, HistoryLabels) {
    EXPECT_EQ(historyCountText(0), "0 entries");
    EXPECT_EQ(historyCountText(1), "1 entries");
    EXPECT_EQ(wordCountText(12), "12 words");
    EXPECT_EQ(durationText(2.54), "2.5s");
    EXPECT_EQ(totalTimeText(1830.7), "1830ms");
    EXPECT_EQ(totalTimeText(std::nan("")), u"\u2014ms"_qs);
    EXPECT_EQ(totalTimeText(std::numeric_limits<double>::infinity()), u"\u2014ms"_qs);
    EXPECT_EQ(homeEmptyHint("Right Alt"), "Hold Right Alt to begin");
    EXPECT_EQ(historyEmptyHint("Right Alt"), "Hold Right Alt and start speaking");
}

TEST(HubRules, RelativeAgeText) {
    const QDateTime now(QDate(2026, 12, 9), QTime(12, 0), Qt::UTC);
    const struct {
        qint64 secondsAgo;
        const char* text;
    } cases[] = {{0, "now"},
                 {-30, "now"},
                 {42, "42 sec"},
                 {300, "5 min"},
                 {3 * 3600, "3 hr"},
                 {86400, "1 day"},
                 {3 * 86400, "3 days"},
                 {14 * 86400, "2 weeks"},
                 {60 * 86400, "2 months"},
                 {800 * 86400, "2 years"}};
    for (const auto& c : cases)
        EXPECT_EQ(relativeAgeText(now.addSecs(-c.secondsAgo), now), QString::fromLatin1(c.text)) << c.secondsAgo;
    EXPECT_TRUE(relativeAgeText(QDateTime(), now).isEmpty());
}

TEST(HubRules, DesktopIconNameComesFromTheDesktopFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    auto write = [&](const QString& name, const QByteArray& body) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(body);
    };
    write("org.example.Editor.desktop",
          "[Desktop Entry]\nName=Editor\nIcon=accessories-text-editor\n"
          "[Desktop Action new]\nIcon=wrong\n");
    write("browser.desktop", "[Desktop Entry]\nIcon=/opt/browser/icon.png\nStartupWMClass=Navigator\n");
    write("noicon.desktop", "[Desktop Entry]\nName=No Icon\n");
    const QStringList dirs{dir.path()};

    const struct {
        const char* id;
        std::optional<QString> icon;
    } cases[] = {
        {"org.example.Editor", QStringLiteral("accessories-text-editor")},
        {"org.example.Editor.desktop", QStringLiteral("accessories-text-editor")},
        {"Browser", QStringLiteral("/opt/browser/icon.png")},    // file name in lower case
        {"navigator", QStringLiteral("/opt/browser/icon.png")},  // by StartupWMClass
        {"noicon", std::nullopt},
        {"missing", std::nullopt},
        {"", std::nullopt},
        {"../etc/passwd", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AppIconView::desktopIconName(QString::fromLatin1(c.id), dirs), c.icon) << c.id;
}

TEST(HubRules, HoverLiftSpringsBetweenRestAndLift) {
    const HoverLiftLook rest = HoverLiftLook::at(0);
    const HoverLiftLook lifted = HoverLiftLook::at(1);
    EXPECT_DOUBLE_EQ(rest.scale, 1.0);
    EXPECT_DOUBLE_EQ(rest.shadowOpacity, 0.06);
    EXPECT_DOUBLE_EQ(rest.shadowRadius, 2);
    EXPECT_DOUBLE_EQ(rest.shadowOffsetY, 1);
    EXPECT_DOUBLE_EQ(lifted.scale, 1.01);
    EXPECT_DOUBLE_EQ(lifted.shadowOpacity, 0.12);
    EXPECT_DOUBLE_EQ(lifted.shadowRadius, 8);
    EXPECT_DOUBLE_EQ(lifted.shadowOffsetY, 3);

    SpringValue spring(0.3, 0.7);
    spring.setTarget(1);
    EXPECT_TRUE(spring.step(0.1));
    EXPECT_GT(spring.value(), 0.3);
    EXPECT_LT(spring.value(), 1.0);
    double peak = 0;
    for (int i = 0; i < 200 && spring.step(0.01); ++i) peak = std::max(peak, spring.value());
    EXPECT_DOUBLE_EQ(spring.value(), 1.0);
    EXPECT_LT(peak, 1.1);  // an underdamped spring overshoots only a little
}

}  // namespace
