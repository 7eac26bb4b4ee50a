#include "App/DictationViewFactory.h"
#include "Auth/AuthManager.h"
#include "ShownText.h"
#include "Storage/HistoryStore.h"
#include "UI/Common/TranscriptRow.h"
#include "UI/Hub/HistoryTabView.h"
#include "UI/Hub/HistoryView.h"
#include "UI/Hub/HomeTabView.h"
#include "UI/Hub/HubView.h"
#include "UI/Theme/HoverLift.h"
#include "UI/Theme/HubFonts.h"
#include "support/AtspiFixtureProcess.h"
#include "support/FixtureApp.h"
#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"

#include "UI/Settings/InstructionsTabView.h"

#include <QApplication>
#include <QClipboard>
#include <QGraphicsEffect>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QUuid>
#include <QWindow>

#include <gtest/gtest.h>

namespace {

TranscriptionResult makeResult(const QString& text, const QString& app = QString(), std::int64_t words = -1) {
    TranscriptionResult::Fields fields;
    fields.formattedText = text;
    fields.rawText = text;
    fields.appName = app;
    fields.appBundleId = app.toLower();
    fields.duration = 2.54;
    fields.totalTimeMs = 1830.7;
    TranscriptionResult r(fields);
    if (words >= 0) r.wordCount = words;
    return r;
}

class HubDesktop : public ::testing::Test {
protected:
    // A pipeline whose history holds `results` (newest first) and these totals.
    void start(QList<TranscriptionResult> results, qint64 dictations = 0, qint64 words = 0) {
        harness.history->preloaded = std::move(results);
        harness.history->totals = {dictations, words};
        harness.setUp();
    }
    ViewPermissions permissions() {
        return {[this] { return ax; }, [this] { return mic; }, [this] { ++openedSettings; }, [this] { ++micRequests; }};
    }

    PipelineHarness harness;
    AuthManager auth;
    bool ax = true;
    bool mic = true;
    int openedSettings = 0;
    int micRequests = 0;
};

TEST_F(HubDesktop, TranscriptRowCopiesThePlainTextAndConfirmsForOneAndAHalfSeconds) {
    TranscriptRow row(makeResult(QStringLiteral("Hello <b>there</b>\nsecond line"), QStringLiteral("Editor")));
    row.show();
    EXPECT_EQ(row.copyGlyph(), "doc.on.doc");
    EXPECT_DOUBLE_EQ(row.copyButtonOpacity(), 0.3);

    row.copyButton()->click();
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->text(), "Hello <b>there</b>\nsecond line");
    EXPECT_FALSE(data->hasHtml());
    EXPECT_EQ(row.copyGlyph(), "checkmark");
    EXPECT_DOUBLE_EQ(row.copyButtonOpacity(), 1.0);

    // A second press copies again but the confirmation still ends 1.5 s after the first.
    harness.clock.advance(std::chrono::seconds(1));
    row.copy();
    harness.clock.advance(std::chrono::milliseconds(490));
    EXPECT_TRUE(row.isCopied());
    harness.clock.advance(std::chrono::milliseconds(20));
    EXPECT_FALSE(row.isCopied());
    EXPECT_EQ(row.copyGlyph(), "doc.on.doc");
    harness.clock.advance(std::chrono::seconds(2));
    EXPECT_FALSE(row.isCopied());
}

// A dictation whose text was fitted to its field and changed by a replacement: the rows show
// and copy what was pasted, not the formatter's text.
TEST_F(HubDesktop, RowsShowAndCopyExactlyWhatWasPasted) {
    TranscriptionResult result = makeResult(QStringLiteral("Thanks btw."), QStringLiteral("Chat"));
    result.pastedText = QStringLiteral(" thanks by the way.");
    TranscriptRow row(result);
    row.show();
    EXPECT_EQ(row.textLabel()->text(), result.pastedText);
    row.copy();
    ASSERT_NE(QGuiApplication::clipboard()->mimeData(), nullptr);
    EXPECT_EQ(QGuiApplication::clipboard()->mimeData()->text(), result.pastedText);

    start({});
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    HistoryStore store(dir.filePath(QStringLiteral("history.sqlite")));
    store.initialize();
    HistoryView view(*harness.pipeline, store);
    view.show();
    store.save(result);
    ASSERT_TRUE(waitUntil([&] { return view.countText() == "1 entries"; }));
    EXPECT_EQ(view.rowTexts(0).value(0), result.pastedText);
}

TEST_F(HubDesktop, TranscriptRowShowsItsLabels) {
    TranscriptRow named(makeResult(QStringLiteral("one two three"), QStringLiteral("Editor")));
    named.show();
    EXPECT_TRUE(named.appLabel()->isVisible());
    EXPECT_EQ(named.appLabel()->text(), "Editor");
    EXPECT_EQ(named.wordsLabel()->text(), "3 words");
    EXPECT_EQ(named.ageLabel()->text(), "now");

    TranscriptRow nameless(makeResult(QStringLiteral("one")));
    nameless.show();
    EXPECT_FALSE(nameless.appLabel()->isVisible());
    EXPECT_TRUE(nameless.ageLabel()->isVisible());
    EXPECT_TRUE(nameless.wordsLabel()->isVisible());
    // No identifier and an identifier no application has both fall back to the drawn glyph.
    EXPECT_FALSE(nameless.iconView()->appIcon().has_value());
    EXPECT_FALSE(AppIconView(QStringLiteral("no.such.application.anywhere")).appIcon().has_value());
}

TEST_F(HubDesktop, ViewsKeepTheirTimersOnlyWhileOnScreen) {
    // A closed hub or history window is kept: its rows and its watch must not wake the program.
    TranscriptRow row(makeResult(QStringLiteral("one")));
    EXPECT_FALSE(row.refreshesAge());
    row.show();
    EXPECT_TRUE(row.refreshesAge());
    row.hide();
    EXPECT_FALSE(row.refreshesAge());

    start({});
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    HistoryStore store(dir.filePath(QStringLiteral("history.sqlite")));
    store.initialize();
    HistoryView view(*harness.pipeline, store);
    EXPECT_FALSE(view.watchesStore());
    view.show();
    EXPECT_TRUE(view.watchesStore());
    view.hide();
    EXPECT_FALSE(view.watchesStore());
    // What changed while it was closed is there when it opens again.
    store.save(makeResult(QStringLiteral("saved while closed")));
    ASSERT_TRUE(waitUntil([&] { return store.recentHistory().size() == 1; }));
    view.show();
    EXPECT_TRUE(view.watchesStore());
    EXPECT_EQ(view.countText(), "1 entries");
}

TEST_F(HubDesktop, HubOpensOnHomeAndKeepsTheHistorySearchAcrossSections) {
    start({makeResult(QStringLiteral("hello world"), QStringLiteral("Notes")),
           makeResult(QStringLiteral("other words"), QStringLiteral("Mail"))});
    int settingsBuilt = 0;
    HubView::Actions actions;
    actions.permissions = permissions();
    actions.makeSettings = [&](QWidget* parent) {
        ++settingsBuilt;
        return new QLabel(QStringLiteral("settings"), parent);
    };
    HubView hub(*harness.pipeline, actions);
    hub.resize(800, 560);
    hub.show();

    QStringList labels;
    for (int i = 0; i < hub.sidebar()->count(); ++i) labels.append(hub.sidebar()->item(i)->text());
    EXPECT_EQ(labels, (QStringList{"Home", "History", "Instructions", "Replacements", "Settings"}));
    EXPECT_EQ(hub.selectedTab(), HubTab::home);
    EXPECT_NE(qobject_cast<HomeTabView*>(hub.detailView()), nullptr);
    EXPECT_GE(hub.minimumSizeHint().width(), 700);
    EXPECT_GE(hub.minimumSizeHint().height(), 480);

    hub.sidebar()->setCurrentRow(int(HubTab::history));
    auto* history = qobject_cast<HistoryTabView*>(hub.detailView());
    ASSERT_NE(history, nullptr);
    history->searchField()->setText(QStringLiteral("HELLO"));
    EXPECT_EQ(history->visibleRows().size(), 1);

    hub.setSelectedTab(HubTab::home);
    hub.setSelectedTab(HubTab::history);
    history = qobject_cast<HistoryTabView*>(hub.detailView());
    ASSERT_NE(history, nullptr);
    EXPECT_EQ(history->searchField()->text(), "HELLO");
    EXPECT_EQ(history->visibleRows().size(), 1);

    // The settings section is built anew at every selection.
    hub.setSelectedTab(HubTab::settings);
    hub.setSelectedTab(HubTab::home);
    hub.setSelectedTab(HubTab::settings);
    EXPECT_EQ(settingsBuilt, 2);

    // The grain lies over everything and lets the pointer through.
    EXPECT_EQ(hub.grain()->geometry(), hub.rect());
    EXPECT_TRUE(hub.grain()->testAttribute(Qt::WA_TransparentForMouseEvents));
}

TEST_F(HubDesktop, FilmGrainDrawsTheSamePixelsEveryTime) {
    const QImage first = FilmGrainView::render(QSize(30, 12));
    EXPECT_EQ(first, FilmGrainView::render(QSize(30, 12)));
    // The first square: white at 147 / 255 × 0.045 ≈ 2.6 % opacity, premultiplied.
    const QColor corner = first.pixelColor(1, 1);
    EXPECT_NEAR(corner.alphaF(), 0.0259, 0.004);
    EXPECT_EQ(first.pixelColor(0, 0), first.pixelColor(2, 2));
    EXPECT_NE(first.pixelColor(0, 0), first.pixelColor(3, 0));
    EXPECT_TRUE(FilmGrainView::render(QSize(0, 12)).isNull() || FilmGrainView::render(QSize(0, 12)).width() == 0);
}

TEST_F(HubDesktop, HomeWithoutHistoryShowsZerosAndTheHotkeyHint) {
    start({});
    HomeTabView home(*harness.pipeline, permissions());
    home.show();
    EXPECT_EQ(home.titleText(), "Dashboard");
    EXPECT_EQ(home.banner(), nullptr);
    EXPECT_EQ(home.encouragement(), "Start dictating to see your stats here.");
    QStringList values;
    for (StatCard* card : home.statCards()) values.append(card->title() + "=" + card->value());
    EXPECT_EQ(values, (QStringList{"Words=0", "Time Saved=<1m", "Avg WPM=0", "Dictations=0"}));
    EXPECT_EQ(home.emptySourcesText(), "No data yet");
    EXPECT_EQ(home.emptyTranscriptsHint(),
              "Hold " + harness.pipeline->settings().pushToTalkHotkey().displayName() + " to begin");
    for (const auto& week : home.heatmap()->buildGrid())
        for (int count : week) EXPECT_EQ(count, 0);
}

TEST_F(HubDesktop, HomeListsFiveSourcesAndEightTranscripts) {
    QList<TranscriptionResult> results;
    const QStringList apps{"A", "B", "C", "D", "E", "F"};
    for (int i = 0; i < 12; ++i) results.append(makeResult(QStringLiteral("text %1").arg(i), apps[i % 6], 10 + i));
    start(results, 40, 1200);
    HomeTabView home(*harness.pipeline, permissions());
    home.show();
    EXPECT_EQ(home.sourceRows().size(), 5);
    EXPECT_EQ(home.transcriptRows().size(), 8);
    EXPECT_EQ(home.transcriptRows().first()->result().formattedText, "text 0");
    QStringList values;
    for (StatCard* card : home.statCards()) values.append(card->value());
    EXPECT_EQ(values[0], "1200");
    EXPECT_EQ(values[1], "22m");
    EXPECT_EQ(values[3], "40");
    EXPECT_EQ(home.encouragement(), u"You\u2019re a regular. 22m saved so far."_qs);
}

TEST_F(HubDesktop, HomeFollowsThePermissionsThroughItsPoll) {
    start({});
    mic = false;
    HomeTabView home(*harness.pipeline, permissions());
    home.show();
    EXPECT_EQ(home.titleText(), "Almost there");
    ASSERT_NE(home.banner(), nullptr);
    ASSERT_EQ(home.banner()->rows().size(), 1);
    EXPECT_EQ(home.banner()->rows()[0]->title(), "Microphone");
    home.banner()->rows()[0]->grantButton()->click();
    EXPECT_EQ(micRequests, 1);

    ax = false;
    home.pollPermissions();
    ASSERT_NE(home.banner(), nullptr);
    ASSERT_EQ(home.banner()->rows().size(), 2);
    EXPECT_EQ(home.banner()->rows()[0]->title(), "Accessibility");
    home.banner()->rows()[0]->grantButton()->click();
    EXPECT_EQ(openedSettings, 1);

    ax = true;
    mic = true;
    // A Wayland session whose hotkey works only in some windows: the row says what to do outside
    // the program, and offers no button that could not help.
    ViewPermissions wayland = permissions();
    wayland.inputNotice = [] { return QStringLiteral("The hotkey works only while an X11 window has the focus."); };
    HomeTabView waylandHome(*harness.pipeline, wayland);
    ASSERT_NE(waylandHome.banner(), nullptr);
    ASSERT_EQ(waylandHome.banner()->rows().size(), 1);
    EXPECT_EQ(waylandHome.banner()->rows()[0]->title(), "Hotkey");
    EXPECT_EQ(waylandHome.banner()->rows()[0]->grantButton(), nullptr);

    // The running poll picks the grant up within about a second.
    EXPECT_TRUE(waitUntil([&] { return home.banner() == nullptr; }, std::chrono::seconds(3)));
    EXPECT_EQ(home.titleText(), "Dashboard");
}

TEST_F(HubDesktop, HistoryTabSearchesAndClears) {
    start({makeResult(QStringLiteral("Say hello"), QStringLiteral("Notes")),
           makeResult(QStringLiteral("Other"), QStringLiteral("Mail"))});
    QString search;
    HistoryTabView tab(*harness.pipeline, {[&] { return search; }, [&](const QString& t) { search = t; }});
    tab.show();
    EXPECT_EQ(tab.visibleRows().size(), 2);
    EXPECT_FALSE(tab.clearButton()->isVisible());

    tab.searchField()->setText(QStringLiteral("mail"));
    EXPECT_EQ(search, "mail");
    ASSERT_EQ(tab.visibleRows().size(), 1);
    EXPECT_EQ(tab.visibleRows()[0]->result().formattedText, "Other");
    EXPECT_TRUE(tab.clearButton()->isVisible());

    tab.searchField()->setText(QStringLiteral("zebra"));
    EXPECT_TRUE(tab.visibleRows().isEmpty());
    EXPECT_EQ(tab.emptyText(), "No results");

    tab.clearButton()->click();
    EXPECT_EQ(search, "");
    EXPECT_EQ(tab.visibleRows().size(), 2);
    EXPECT_FALSE(tab.clearButton()->isVisible());
    EXPECT_TRUE(tab.emptyText().isEmpty());
}

TEST_F(HubDesktop, ANewDictationShowsOnHomeAndHistory) {
    start({makeResult(QStringLiteral("older"), QStringLiteral("Mail"))}, 1, 1);
    HomeTabView home(*harness.pipeline, permissions());
    home.show();
    HistoryTabView tab(*harness.pipeline, {[] { return QString(); }, [](const QString&) {}});
    tab.show();
    ASSERT_TRUE(harness.dictate());
    ASSERT_EQ(harness.pipeline->recentResults().size(), 2);
    const QUuid newest = harness.pipeline->recentResults().first().id;
    EXPECT_TRUE(waitUntil([&] {
        const auto rows = home.transcriptRows();
        return rows.size() == 2 && rows.first()->result().id == newest;
    }));
    EXPECT_TRUE(waitUntil([&] { return home.statCards().value(3) && home.statCards()[3]->value() == "2"; }));
    ASSERT_EQ(tab.visibleRows().size(), 2);
    EXPECT_EQ(tab.visibleRows().first()->result().id, newest);
}

TEST_F(HubDesktop, HistoryTabWithoutDictationsSaysSo) {
    start({});
    HistoryTabView tab(*harness.pipeline, {[] { return QString(); }, [](const QString&) {}});
    tab.show();
    EXPECT_EQ(tab.emptyText(), "No dictations yet");
}

TEST_F(HubDesktop, HistoryWindowListsTheStoreAndClearsIt) {
    start({makeResult(QStringLiteral("kept by the pipeline"))});
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    HistoryStore store(dir.filePath(QStringLiteral("history.sqlite")));
    store.initialize();

    HistoryView view(*harness.pipeline, store);
    view.show();
    EXPECT_TRUE(view.showsEmptyState());
    EXPECT_EQ(view.countText(), "0 entries");
    EXPECT_FALSE(view.clearButton()->isVisible());
    EXPECT_EQ(view.emptyHint(),
              "Hold " + harness.pipeline->settings().pushToTalkHotkey().displayName() + " and start speaking");

    store.save(makeResult(QStringLiteral("one two three"), QStringLiteral("Editor")));
    store.save(makeResult(QStringLiteral("no application")));
    ASSERT_TRUE(waitUntil([&] { return view.countText() == "2 entries"; }));
    EXPECT_TRUE(view.clearButton()->isVisible());
    EXPECT_EQ(view.rowTexts(1), (QStringList{"one two three", "3 words", "2.5s", "1830ms", "Editor"}));
    EXPECT_EQ(view.rowTexts(0), (QStringList{"no application", "2 words", "2.5s", "1830ms"}));

    view.clearButton()->click();
    ASSERT_TRUE(waitUntil([&] { return view.showsEmptyState(); }));
    EXPECT_EQ(view.countText(), "0 entries");
    EXPECT_FALSE(view.clearButton()->isVisible());
    // Only the stored history goes; the pipeline keeps what it loaded until the next launch.
    EXPECT_EQ(harness.pipeline->recentResults().size(), 1);
}

TEST_F(HubDesktop, HoverLiftRaisesACardAndSettlesBack) {
    StatCard card(QStringLiteral("Words"), QStringLiteral("12"), QStringLiteral("textformat"));
    card.show();
    HoverLift* lift = HoverLift::of(&card);
    ASSERT_NE(lift, nullptr);
    EXPECT_DOUBLE_EQ(lift->look().scale, 1.0);
    lift->setHovered(true);
    lift->advance(2.0);
    EXPECT_DOUBLE_EQ(lift->look().scale, 1.01);
    EXPECT_DOUBLE_EQ(lift->look().shadowRadius, 8);
    lift->setHovered(false);
    lift->advance(2.0);
    EXPECT_DOUBLE_EQ(lift->look().scale, 1.0);
    EXPECT_DOUBLE_EQ(lift->look().shadowOpacity, 0.06);
}

TEST_F(HubDesktop, HubFontsRegisterIdempotently) {
    registerHubFonts();
    registerHubFonts();
    EXPECT_EQ(hubSerifFont(18).family(), hubSerifFamily);
}

TEST_F(HubDesktop, APointerClickOnTheSidebarOpensThatSection) {
    start({});
    HubView::Actions actions;
    actions.permissions = permissions();
    actions.makeSettings = [](QWidget* parent) { return new QLabel(QStringLiteral("settings"), parent); };
    HubView hub(*harness.pipeline, actions);
    hub.resize(800, 560);
    hub.show();
    ASSERT_TRUE(waitUntil([&] { return hub.windowHandle() && hub.windowHandle()->isExposed(); }));
    QListWidget* sidebar = hub.sidebar();
    const QPoint target =
        sidebar->viewport()->mapToGlobal(sidebar->visualItemRect(sidebar->item(int(HubTab::history))).center());
    bool ok = false;
    runTool("xdotool", {"mousemove", QString::number(target.x()), QString::number(target.y()), "click", "1"}, {}, &ok);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(waitUntil([&] { return hub.selectedTab() == HubTab::history; })) << "row " << sidebar->currentRow();
}

TEST_F(HubDesktop, TheSidebarsAccessibleActionOpensThatSection) {
    start({});
    HubView::Actions actions;
    actions.permissions = permissions();
    actions.makeSettings = [](QWidget* parent) { return new QLabel(QStringLiteral("settings"), parent); };
    HubView hub(*harness.pipeline, actions);
    hub.resize(800, 560);
    hub.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&hub));
    const qint64 pid = QCoreApplication::applicationPid();
    // A screen reader offers the row's action; running it opens the section as a click does.
    for (const HubTab tab : {HubTab::history, HubTab::settings, HubTab::home}) {
        const QString label = hubTabInfo(tab).label;
        bool ok = false;
        const QStringList names = runAtspiProbe(pid, {"actions", "list item", label}, &ok);
        ASSERT_TRUE(ok) << label.toStdString();
        ASSERT_FALSE(names.isEmpty()) << "the row " << label.toStdString() << " offers no action";
        runAtspiProbe(pid, {"do", "list item", label}, &ok);
        ASSERT_TRUE(ok) << label.toStdString();
        EXPECT_TRUE(waitUntil([&] { return hub.selectedTab() == tab; }))
            << label.toStdString() << " (actions: " << names.join(", ").toStdString() << ")";
    }
}

}  // namespace

namespace {

// The hub at the size the shell opens it with: its content's wish, at least the shell's
// 750 x 500 on this screen.
void openAtDefaultSize(HubView& hub) {
    hub.resize(hub.sizeHint().expandedTo(QSize(750, 500)));
    hub.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&hub));
    QCoreApplication::processEvents();
}

}  // namespace

TEST_F(HubDesktop, TheDashboardHistoryAndVoiceStylesShowEveryLabelWholeAtTheDefaultSize) {
    // A first start: the dashboard fits without scrolling.
    {
        start({});
        HubView hub(*harness.pipeline, {permissions()});
        openAtDefaultSize(hub);
        auto* home = hub.findChild<HomeTabView*>();
        ASSERT_TRUE(home);
        EXPECT_EQ(home->scrollArea()->verticalScrollBar()->maximum(), 0) << "the empty dashboard scrolls";
        const QStringList cut = labelsNotShownWhole(home);
        EXPECT_TRUE(cut.isEmpty()) << cut.join(" | ").toStdString();
    }
    // With dictations, some into applications whose names look like markup.
    PipelineHarness full;
    QList<TranscriptionResult> results;
    const QStringList apps{"Slack", "<b>Mail</b>", "Visual Studio Code", "Terminal"};
    for (int i = 0; i < 10; ++i)
        results.append(makeResult(QStringLiteral("Dictation %1 with enough words to need a second line of text in the "
                                                 "row, and then some more so that a third line would be needed.")
                                      .arg(i),
                                  apps[i % 4], 30 + i));
    full.history->preloaded = results;
    full.history->totals = {1234, 98765};
    full.setUp();
    HubView hub(*full.pipeline, DictationViewFactory::hubActions(*full.pipeline, auth, permissions()));
    openAtDefaultSize(hub);
    const auto check = [&](const char* size) {
        for (HubTab tab : {HubTab::home, HubTab::history, HubTab::instructions}) {
            hub.setSelectedTab(tab);
            QCoreApplication::processEvents();
            QStringList cut = labelsNotShownWhole(&hub);
            // The statistic cards paint their value and title themselves.
            for (StatCard* card : hub.findChildren<StatCard*>()) {
                const double room = card->contentRect().width();
                if (QFontMetricsF(card->titleFont()).horizontalAdvance(card->title()) > room + 0.5 ||
                    QFontMetricsF(card->valueFont()).horizontalAdvance(card->value()) > room + 0.5)
                    cut << card->title();
            }
            EXPECT_TRUE(cut.isEmpty()) << size << " section " << int(tab) << ": " << cut.join(" | ").toStdString();
        }
    };
    check("opening size");
    // The smallest the hub allows keeps them whole too.
    hub.setSelectedTab(HubTab::home);
    QCoreApplication::processEvents();
    hub.resize(hub.minimumSizeHint());
    QCoreApplication::processEvents();
    check("smallest size");
}

TEST_F(HubDesktop, TheDashboardEntersInFiveGroupsEachFromItsOwnDepth) {
    start({makeResult("one", "A", 1)});
    ax = false;  // the banner is one of the groups
    HomeTabView home(*harness.pipeline, permissions());
    home.show();
    QList<double> shifts;
    for (QWidget* section : home.entranceSections()) {
        ASSERT_TRUE(section->graphicsEffect()) << "every group fades in";
        shifts << section->graphicsEffect()->property("entranceShift").toDouble();
    }
    EXPECT_EQ(shifts, (QList<double>{8, 6, 10, 12, 14}));
    EXPECT_TRUE(home.banner()->isVisibleTo(&home));
    // Each group holds what it names: the cards, the middle row, the transcripts.
    EXPECT_FALSE(home.entranceSections()[2]->findChildren<StatCard*>().isEmpty());
    EXPECT_TRUE(home.entranceSections()[3]->isAncestorOf(home.heatmap()));
    EXPECT_FALSE(home.entranceSections()[4]->findChildren<TranscriptRow*>().isEmpty());
}

TEST_F(HubDesktop, ATranscriptCutAtTwoLinesEndsWithAnEllipsis) {
    const QFont font = QApplication::font();
    const QFontMetrics metrics(font);
    const QString longText = QStringLiteral(
        "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi "
        "omicron pi rho sigma tau upsilon phi chi psi omega");
    const int width = metrics.horizontalAdvance(QStringLiteral("alpha beta gamma delta epsilon"));
    struct Case {
        QString text;
        bool cut;
    };
    for (const Case& c : {Case{QStringLiteral("alpha beta"), false}, Case{longText, true},
                          Case{QStringLiteral("first line\nsecond line\nthird line"), true}}) {
        const QString shown = clampedToLines(c.text, font, width, 2);
        const QStringList lines = shown.split(QLatin1Char('\n'));
        EXPECT_LE(lines.size(), 2) << shown.toStdString();
        for (const QString& line : lines) EXPECT_LE(metrics.horizontalAdvance(line), width) << line.toStdString();
        EXPECT_EQ(shown.endsWith(QChar(0x2026)), c.cut) << shown.toStdString();
        if (!c.cut) {
            EXPECT_EQ(shown, c.text);
        }
    }
    // In a row: the text label shows two lines ending in the ellipsis.
    TranscriptRow row(makeResult(longText + QLatin1Char(' ') + longText + QLatin1Char(' ') + longText, "Notes", 60));
    row.resize(360, row.sizeHint().height());
    row.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&row));
    EXPECT_TRUE(row.textLabel()->text().endsWith(QChar(0x2026))) << row.textLabel()->text().toStdString();
    const QStringList cut = labelsNotShownWhole(&row);
    EXPECT_TRUE(cut.isEmpty()) << cut.join(" | ").toStdString();
}
