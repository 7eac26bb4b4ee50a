#include "UI/Settings/ReplacementsTabView.h"

#include "ShownText.h"
#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace {

struct Tab {
    explicit Tab(QList<TextReplacement> rules = {})
        : harness([&] {
              VantroseSettings s;
              s.textReplacements = rules;
              return s;
          }()) {
        harness.setUp();
        view = std::make_unique<ReplacementsTabView>(*harness.pipeline);
        view->show();
    }
    const QList<TextReplacement>& rules() const { return harness.pipeline->settings().textReplacements; }
    QStringList shownTriggers() const {
        QStringList shown;
        for (QLabel* label : view->findChildren<QLabel*>(QStringLiteral("replacementTrigger")))
            if (label->isVisible()) shown << label->text();
        return shown;
    }
    void type(const QString& trigger, const QString& replacement) {
        view->triggerField()->clear();
        view->replacementField()->clear();
        QTest::keyClicks(view->triggerField(), trigger);
        QTest::keyClicks(view->replacementField(), replacement);
    }
    PipelineHarness harness;
    std::unique_ptr<ReplacementsTabView> view;
};

TEST(ReplacementsTabView, AddingShowsTheRuleAndEmptiesTheFields) {
    Tab tab;
    EXPECT_TRUE(tab.view->findChild<QWidget*>(QStringLiteral("replacementsEmpty"))->isVisible());
    EXPECT_FALSE(tab.view->addButton()->isEnabled());
    QTest::keyClicks(tab.view->triggerField(), QStringLiteral("my email"));
    EXPECT_FALSE(tab.view->addButton()->isEnabled());
    QTest::keyClicks(tab.view->replacementField(), QStringLiteral("jane@example.com"));
    EXPECT_TRUE(tab.view->addButton()->isEnabled());

    // Return adds nothing; only the button does.
    QTest::keyClick(tab.view->replacementField(), Qt::Key_Return);
    EXPECT_TRUE(tab.rules().isEmpty());
    tab.view->addButton()->click();
    EXPECT_EQ(tab.rules(), (QList<TextReplacement>{{QStringLiteral("my email"), QStringLiteral("jane@example.com")}}));
    EXPECT_TRUE(tab.view->triggerField()->text().isEmpty());
    EXPECT_TRUE(tab.view->replacementField()->text().isEmpty());
    EXPECT_FALSE(tab.view->addButton()->isEnabled());
    EXPECT_TRUE(waitUntil([&] { return tab.shownTriggers() == QStringList{QStringLiteral("“my email”")}; }));

    tab.type(QStringLiteral("sig"), QStringLiteral("Best, Jane"));
    tab.view->addButton()->click();
    EXPECT_TRUE(waitUntil([&] {
        return tab.shownTriggers() == QStringList{QStringLiteral("“my email”"), QStringLiteral("“sig”")};
    }));
}

TEST(ReplacementsTabView, RulesThatCouldNeverApplyAreRefusedWithTheTextKept) {
    Tab tab({{QStringLiteral("my email"), QStringLiteral("jane@example.com")}});
    for (const QString& trigger : {QStringLiteral("   "), QStringLiteral("My Email")}) {
        tab.type(trigger, QStringLiteral("x"));
        ASSERT_TRUE(tab.view->addButton()->isEnabled());
        tab.view->addButton()->click();
        EXPECT_EQ(tab.rules().size(), 1) << trigger.toStdString();
        EXPECT_TRUE(tab.view->messageLabel()->isVisible());
        EXPECT_EQ(tab.view->triggerField()->text(), trigger);
    }
    // Editing the text takes the message away.
    QTest::keyClicks(tab.view->triggerField(), QStringLiteral("s"));
    EXPECT_FALSE(tab.view->messageLabel()->isVisible());
}

TEST(ReplacementsTabView, DeletingRemovesEveryRuleOfThatExactTrigger) {
    Tab tab({{QStringLiteral("a"), QStringLiteral("1")},
             {QStringLiteral("A"), QStringLiteral("2")},
             {QStringLiteral("a"), QStringLiteral("3")}});
    auto deletes = tab.view->findChildren<QToolButton*>(QStringLiteral("deleteReplacement"));
    ASSERT_EQ(deletes.size(), 3);
    deletes[2]->click();
    EXPECT_EQ(tab.rules(), (QList<TextReplacement>{{QStringLiteral("A"), QStringLiteral("2")}}));
    EXPECT_TRUE(waitUntil([&] { return tab.shownTriggers() == QStringList{QStringLiteral("“A”")}; }));
    tab.view->findChildren<QToolButton*>(QStringLiteral("deleteReplacement")).first()->click();
    EXPECT_TRUE(tab.rules().isEmpty());
    EXPECT_TRUE(tab.view->findChild<QWidget*>(QStringLiteral("replacementsEmpty"))->isVisible());
}

TEST(ReplacementsTabView, TriggersAndReplacementsAreShownAsTypedNeverAsMarkup) {
    Tab tab({TextReplacement{QStringLiteral("<b>bold</b>"), QStringLiteral("<i>not italic</i>")}});
    tab.view->resize(600, 400);
    QCoreApplication::processEvents();
    EXPECT_EQ(tab.shownTriggers(), QStringList{QStringLiteral("\u201c<b>bold</b>\u201d")});
    const QStringList cut = labelsNotShownWhole(tab.view.get());
    EXPECT_TRUE(cut.isEmpty()) << cut.join(" | ").toStdString();
}

}  // namespace
