#include "UI/Motion/MotionClock.h"
#include "UI/Overlay/DictationOverlayView.h"
#include "UI/Overlay/Faces/IdleFaces.h"
#include "UI/Overlay/Faces/ListeningFaces.h"
#include "UI/Overlay/TypingSuggestionPill.h"

#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"

#include <QAction>
#include <QMenu>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using S = DictationStatus;
using OverlayPill::Face;

// A real pipeline over fakes under a shown overlay whose animations run on a manual clock.
struct OverlayHarness {
    PipelineHarness h;
    MotionClock clock{MotionClock::Mode::manual};
    std::unique_ptr<DictationOverlayView> view;

    explicit OverlayHarness(VantroseSettings settings = VantroseSettings()) : h(std::move(settings)) {
        h.setUp();
        view = std::make_unique<DictationOverlayView>(*h.pipeline, clock);
        view->show();
        settle();
    }
    // Lets every running spring and curve come to rest.
    void settle() { clock.advance(2.0); }
    QSizeF pillSize() const { return view->pillRect().size(); }

    void showSuggestion(const QString& appName) {
        h.detector->frontApp = FakeAppDetector::app(appName, QStringLiteral("org.example.notes"));
        for (int i = 0; i < 30 && !h.pipeline->typingSuggestion(); ++i) {
            h.clock.advance(1);
            h.keyboard->onKeyDown(KeyEvent{4, 0, QStringLiteral("a"), false});
        }
    }
};

TEST(OverlayDesktop, PillFollowsTheDictationFromIdleToListeningAndBack) {
    OverlayHarness o;
    EXPECT_TRUE(o.view->entered());
    EXPECT_EQ(o.pillSize(), QSizeF(40, 10));
    EXPECT_DOUBLE_EQ(o.view->drawnCornerRadius(), 5);
    EXPECT_EQ(o.view->currentFace(), Face::idleWaveform);
    EXPECT_TRUE(qobject_cast<IdleWaveform*>(o.view->faceWidget()));
    // The pill sits 12 above the bottom of the 380 × 140 content, centred in the 400 × 160 panel.
    EXPECT_DOUBLE_EQ(o.view->pillRect().bottom(), 150 - 12);
    EXPECT_DOUBLE_EQ(o.view->pillRect().center().x(), 200);

    o.h.record(5);
    ASSERT_EQ(o.h.pipeline->status(), S::listening);
    o.clock.advance(0.02);
    const QSizeF midway = o.pillSize();
    EXPECT_GT(midway.width(), 40);
    EXPECT_LT(midway.width(), 100);  // still morphing
    o.settle();
    EXPECT_EQ(o.pillSize(), QSizeF(100, 38));
    EXPECT_EQ(o.view->currentFace(), Face::listeningEyes);
    ASSERT_TRUE(qobject_cast<WalleEyes*>(o.view->faceWidget()));
    EXPECT_EQ(o.view->faceWidget()->geometry(), o.view->pillRect().toAlignedRect());

    o.h.pipeline->cancelDictation();
    ASSERT_TRUE(o.h.waitForStatus(S::dismissed));
    o.settle();
    EXPECT_EQ(o.pillSize(), QSizeF(40, 10));
    EXPECT_EQ(o.view->feedback().dictationCount(), 0);  // a cancelled dictation counts nothing
}

TEST(OverlayDesktop, ExpandedPillGrowsWithTheLiveTextAndShowsItsNewestWords) {
    VantroseSettings settings;
    settings.expandedPill = true;
    OverlayHarness o(settings);
    o.h.record(5);
    o.settle();
    EXPECT_EQ(o.pillSize(), QSizeF(120, 40));
    EXPECT_EQ(o.view->currentFace(), Face::listeningEyes);

    ASSERT_TRUE(o.h.recognizer->onPartial);
    o.h.recognizer->onPartial(QStringLiteral("hello"));
    ASSERT_TRUE(waitUntil([&] { return !o.h.pipeline->streamingText().isEmpty(); }));
    o.settle();
    EXPECT_EQ(o.pillSize(), QSizeF(320, 74));
    EXPECT_EQ(o.view->currentFace(), Face::listeningEyesWithText);
    EXPECT_EQ(o.view->shownLiveText(), QStringLiteral("hello"));
    // The face sits above the text inside the padded column.
    EXPECT_LT(o.view->faceWidget()->geometry().bottom(), o.view->pillRect().bottom() - 8 - 20);

    QStringList words;
    for (int i = 0; i < 80; ++i) words << QStringLiteral("word%1").arg(i);
    o.h.recognizer->onPartial(words.join(QLatin1Char(' ')));
    ASSERT_TRUE(waitUntil([&] { return o.h.pipeline->streamingText().size() > 100; }));
    const QString shown = o.view->shownLiveText();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("…"))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QStringLiteral("word79"))) << shown.toStdString();
    EXPECT_LT(shown.size(), o.h.pipeline->streamingText().size());
}

TEST(OverlayDesktop, HiddenOverlayKeepsNoFaceAndShowsTheCurrentOneAgain) {
    OverlayHarness o;
    ASSERT_TRUE(o.view->faceWidget());
    o.view->hide();
    EXPECT_FALSE(o.view->faceWidget());
    o.h.record(5);
    EXPECT_EQ(o.view->currentFace(), Face::listeningEyes);
    EXPECT_FALSE(o.view->faceWidget());
    o.view->show();
    EXPECT_TRUE(qobject_cast<WalleEyes*>(o.view->faceWidget()));
}

TEST(OverlayDesktop, FinishedDictationCountsItsWordsAndLightsTheDoneFeedback) {
    OverlayHarness o;
    ASSERT_TRUE(o.h.dictate());
    ASSERT_TRUE(o.h.pipeline->lastResult());
    EXPECT_EQ(o.view->feedback().dictationCount(), 1);
    EXPECT_EQ(o.view->feedback().totalWords(), DictationFeedback::countWords(o.h.pipeline->lastResult()->pastedText));
    EXPECT_GT(o.view->feedback().totalWords(), 0);
    EXPECT_TRUE(o.view->feedback().showDone());
    o.clock.advance(0.15);
    EXPECT_TRUE(o.view->feedback().doneRipple());
    o.settle();
    EXPECT_FALSE(o.view->feedback().showDone());
    EXPECT_FALSE(o.view->feedback().doneRipple());
    EXPECT_EQ(o.pillSize(), QSizeF(40, 10));
}

TEST(OverlayDesktop, LevelChangesFeedTheSmoothedBands) {
    OverlayHarness o;
    o.h.record(10);
    ASSERT_TRUE(waitUntil([&] {
        const auto& bands = o.view->smoothBands();
        return std::any_of(bands.begin(), bands.end(), [](float b) { return b > 0; });
    }));
    EXPECT_EQ(o.view->smoothBands().size(), 10u);
}

TEST(OverlayDesktop, SuggestionPillAppearsAboveThePillAndAloneTakesThePointerOutsideHandsFree) {
    OverlayHarness o;
    o.showSuggestion(QStringLiteral("Notes"));
    ASSERT_TRUE(o.h.pipeline->typingSuggestion());
    TypingSuggestionPill* pill = o.view->suggestionPill();
    ASSERT_TRUE(pill);
    EXPECT_TRUE(pill->isVisible());
    o.settle();
    EXPECT_DOUBLE_EQ(pill->appearProgress(), 1.0);
    // Its card ends 8 above the dictation pill.
    const QRectF card = pill->cardRect().translated(pill->pos());
    EXPECT_NEAR(card.bottom(), o.view->pillRect().top() - 8, 1.0);
    // The card takes the pointer (its click talks, its menu dismisses); the rest of the overlay
    // does not, and the card is the region the host lets through to the panel.
    EXPECT_FALSE(pill->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_TRUE(o.view->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_EQ(o.view->pointerRegion(), QRegion(card.toAlignedRect()));
    EXPECT_EQ(o.view->property("pointerRegion").value<QRegion>(), o.view->pointerRegion());

    // Dismissing clears the offer and the overlay drops the card at once.
    o.h.pipeline->dismissTypingSuggestion(false);
    EXPECT_FALSE(o.view->suggestionPill());
    EXPECT_TRUE(o.view->pointerRegion().isEmpty());
}

TEST(OverlayDesktop, HandsFreeDictationTakesClicksAndShowsItsOwnFaces) {
    OverlayHarness o;
    o.h.pipeline->startPersistentDictation();
    ASSERT_TRUE(o.h.waitForStatus(S::listening));
    ASSERT_TRUE(o.h.pipeline->isPersistentMode());
    o.settle();
    EXPECT_EQ(o.view->currentFace(), Face::persistentEyes);
    EXPECT_TRUE(qobject_cast<PersistentEyes*>(o.view->faceWidget()));
    EXPECT_EQ(o.pillSize(), QSizeF(200, 42));
    EXPECT_FALSE(o.view->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_FALSE(o.view->faceWidget()->testAttribute(Qt::WA_TransparentForMouseEvents));

    o.h.pipeline->pauseDictation();
    o.settle();
    EXPECT_EQ(o.view->currentFace(), Face::persistentPausedLabel);
    auto* paused = qobject_cast<PersistentPausedLabel*>(o.view->faceWidget());
    ASSERT_TRUE(paused);
    EXPECT_EQ(o.pillSize(), QSizeF(190, 40));
    // The play button resumes through the action the overlay handed the face.
    QTest::mouseClick(paused, Qt::LeftButton, {}, paused->playButtonRect().center().toPoint());
    EXPECT_EQ(o.h.pipeline->status(), S::listening);
    o.settle();
    EXPECT_EQ(o.view->currentFace(), Face::persistentEyes);
    // The stop pill finishes the hands-free dictation.
    auto* eyes = qobject_cast<PersistentEyes*>(o.view->faceWidget());
    ASSERT_TRUE(eyes);
    QTest::mouseClick(eyes, Qt::LeftButton, {}, eyes->stopPillRect().center().toPoint());
    EXPECT_FALSE(o.h.pipeline->isPersistentMode());
}

TEST(OverlayDesktop, SuggestionCardAcceptsOnAClickAnywhereOnItAndOffersTwoDismissals) {
    struct Case {
        const char* appName;
        const char* suppressTitle;
    };
    for (const Case c : {Case{"Slack", "Don't show in Slack"}, Case{"", "Don't show in this app"}}) {
        TypingReminderEngine::Suggestion suggestion;
        suggestion.appName = QString::fromUtf8(c.appName);
        suggestion.message = QStringLiteral("Want to say this instead?");
        int accepted = 0;
        std::vector<bool> dismissed;
        MotionClock clock(MotionClock::Mode::manual);
        TypingSuggestionPill pill(
            suggestion, [&] { ++accepted; }, [&](bool s) { dismissed.push_back(s); }, nullptr, &clock);
        pill.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&pill));
        // A click on the padding corner, while the entrance spring still runs.
        const QRectF card = pill.cardRect();
        EXPECT_LT(pill.appearProgress(), 1.0);
        QTest::mouseClick(&pill, Qt::LeftButton, {}, (card.topLeft() + QPointF(4, 4)).toPoint());
        EXPECT_EQ(accepted, 1);
        QTest::mouseClick(&pill, Qt::LeftButton, {}, QPoint(1, 1));  // the shadow margin is not the card
        EXPECT_EQ(accepted, 1);

        std::unique_ptr<QMenu> menu(pill.buildContextMenu(nullptr));
        const QList<QAction*> actions = menu->actions();
        ASSERT_EQ(actions.size(), 2);
        EXPECT_EQ(actions[0]->text(), QStringLiteral("Not now"));
        EXPECT_EQ(actions[1]->text(), QString::fromUtf8(c.suppressTitle));
        actions[0]->trigger();
        actions[1]->trigger();
        EXPECT_EQ(dismissed, (std::vector<bool>{false, true}));
    }
}

}  // namespace

namespace {

// The overlay as drawn, on a transparent background (premultiplied: a pixel's red is its
// brightness times its opacity).
QImage drawn(DictationOverlayView& view) {
    QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

int brightest(const QImage& image, const QRect& area) {
    int best = 0;
    for (int y = std::max(0, area.top()); y <= std::min(image.height() - 1, area.bottom()); ++y)
        for (int x = std::max(0, area.left()); x <= std::min(image.width() - 1, area.right()); ++x)
            best = std::max(best, qRed(image.pixel(x, y)));
    return best;
}

// The box of the face's bright pixels inside the pill.
QRect brightBox(const QImage& image, const QRect& area) {
    QRect box;
    for (int y = std::max(0, area.top()); y <= std::min(image.height() - 1, area.bottom()); ++y)
        for (int x = std::max(0, area.left()); x <= std::min(image.width() - 1, area.right()); ++x)
            if (qRed(image.pixel(x, y)) > 128) box |= QRect(x, y, 1, 1);
    return box;
}

}  // namespace

TEST(OverlayDesktop, TheFaceIsDrawnWithThePillsEntranceAndBounce) {
    PipelineHarness h;
    h.setUp();
    h.record(5);
    ASSERT_EQ(h.pipeline->status(), S::listening);
    MotionClock clock{MotionClock::Mode::manual};
    DictationOverlayView view(*h.pipeline, clock);
    view.show();
    clock.advance(0.03);
    // Early in the entrance the eyes are as faint as their pill, not at full white.
    ASSERT_LT(view.columnOpacity(), 0.6);
    const QRect area = view.pillRect().toAlignedRect().adjusted(-6, -6, 6, 6);
    EXPECT_LE(brightest(drawn(view), area), int(255 * view.columnOpacity()) + 4);

    clock.advance(2.0);
    const QRect rest = brightBox(drawn(view), area);
    ASSERT_GT(rest.width(), 20);
    // A status change swells the pill to 1.08: the eyes swell with it.
    view.handleStatusChange(S::stopping);
    double peak = 1;
    for (int i = 0; i < 40 && view.bounce() >= peak; ++i) {
        peak = view.bounce();
        clock.advance(0.005);
    }
    ASSERT_GT(view.bounce(), 1.05);
    const QRect swollen = brightBox(drawn(view), area);
    EXPECT_GE(swollen.width(), rest.width() + 2) << rest.width() << " at rest";
    EXPECT_LE(swollen.width(), rest.width() * view.bounce() + 2);
}

TEST(OverlayDesktop, FacesCrossFadeAndTheLiveTextFadesOut) {
    VantroseSettings settings;
    settings.expandedPill = true;
    OverlayHarness o(settings);
    o.h.record(5);
    o.settle();
    ASSERT_EQ(o.view->currentFace(), Face::listeningEyes);
    ASSERT_TRUE(o.h.recognizer->onPartial);
    o.h.recognizer->onPartial(QStringLiteral("hello there"));
    ASSERT_TRUE(waitUntil([&] { return !o.h.pipeline->streamingText().isEmpty(); }));
    // The eyes alone fade out while the live-text column fades in, on the expanding spring.
    EXPECT_EQ(o.view->currentFace(), Face::listeningEyesWithText);
    EXPECT_EQ(o.view->leavingFaceCount(), 1);
    o.clock.advance(0.05);
    EXPECT_GT(o.view->facePresence(), 0.0);
    EXPECT_LT(o.view->facePresence(), 1.0);
    EXPECT_EQ(o.view->leavingFaceCount(), 1);
    o.settle();
    EXPECT_EQ(o.view->leavingFaceCount(), 0);
    EXPECT_DOUBLE_EQ(o.view->facePresence(), 1.0);
    EXPECT_DOUBLE_EQ(o.view->liveTextOpacity(), 1.0);
    const QRect textArea = o.view->pillRect().toAlignedRect().adjusted(14, 40, -14, -4);
    const int textShown = brightest(drawn(*o.view), textArea);
    EXPECT_GT(textShown, 100);

    // The words fade out over a quarter of a second instead of vanishing.
    o.h.pipeline->cancelDictation();
    ASSERT_TRUE(o.h.waitForStatus(S::dismissed));
    o.clock.advance(0.1);
    EXPECT_GT(o.view->liveTextOpacity(), 0.05);
    EXPECT_LT(o.view->liveTextOpacity(), 1.0);
    o.clock.advance(0.2);
    EXPECT_DOUBLE_EQ(o.view->liveTextOpacity(), 0.0);
}

TEST(OverlayDesktop, TheDoneGlowIsWhiteAtEightPercent) {
    OverlayHarness o;
    ASSERT_TRUE(o.h.dictate());
    o.clock.advance(0.2);  // faded in, not yet switched off
    ASSERT_TRUE(o.view->feedback().showDone());
    EXPECT_NEAR(o.view->doneGlowOpacity(), 0.08, 0.005);
    // Just above the pill, where the soft edge has nearly reached its full strength.
    const QRectF pill = o.view->pillRect();
    const QImage image = drawn(*o.view);
    const QRgb glow = image.pixel(int(pill.center().x()), int(pill.top() - 4));
    EXPECT_GE(qAlpha(glow), 10);
    EXPECT_LE(qAlpha(glow), int(255 * 0.08) + 2);
}

TEST(OverlayDesktop, TheSuggestionCardFadesInWithTheOverlay) {
    PipelineHarness h;
    h.setUp();
    h.detector->frontApp = FakeAppDetector::app(QStringLiteral("Notes"), QStringLiteral("org.example.notes"));
    for (int i = 0; i < 30 && !h.pipeline->typingSuggestion(); ++i) {
        h.clock.advance(1);
        h.keyboard->onKeyDown(KeyEvent{4, 0, QStringLiteral("a"), false});
    }
    ASSERT_TRUE(h.pipeline->typingSuggestion());
    MotionClock clock{MotionClock::Mode::manual};
    DictationOverlayView view(*h.pipeline, clock);
    view.show();
    clock.advance(0.03);
    TypingSuggestionPill* card = view.suggestionPill();
    ASSERT_TRUE(card);
    ASSERT_LT(view.columnOpacity(), 0.6);
    const QRect cardArea = card->cardRect().translated(card->pos()).toAlignedRect();
    EXPECT_LE(brightest(drawn(view), cardArea), int(255 * view.columnOpacity()) + 4);
    clock.advance(2.0);
    ASSERT_EQ(view.suggestionPill(), card);
    EXPECT_GT(brightest(drawn(view), card->cardRect().translated(card->pos()).toAlignedRect()), 150);
}
