#include "UI/Settings/InstructionsTabView.h"

#include "UI/SettingsTestResults.h"
#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QToolButton>

#include <gtest/gtest.h>

namespace {

const QString kProfessional = VoiceStyles::instruction(VoiceStyle::professional);

// The tab over a pipeline whose history holds dictations into a mail client, an editor (with
// a hand-written professional instruction), a chat (with a custom one) and an unnamed app.
struct Tab {
    Tab()
        : harness([] {
              VantroseSettings s;
              s.appInstructions = {
                  {QStringLiteral("editor"), QStringLiteral("Editor"), kProfessional},
                  {QStringLiteral("chat"), QStringLiteral("Chat"), QStringLiteral("Write like a pirate.")},
                  {QStringLiteral("gone"), QStringLiteral("Gone"), QStringLiteral("kept")}};
              return s;
          }()) {
        harness.history->preloaded = {resultIn(QStringLiteral("mail"), QStringLiteral("Mail")),
                                      resultIn(QString(), QStringLiteral("No identifier")),
                                      resultIn(QStringLiteral("editor"), QStringLiteral("Editor")),
                                      resultIn(QStringLiteral("chat"), QStringLiteral("Chat")),
                                      resultIn(QStringLiteral("org.example.Tool"), QString())};
        harness.setUp();
        view = std::make_unique<InstructionsTabView>(*harness.pipeline);
        view->show();
    }
    AppStyleRow* row(const QString& bundleId) const {
        for (AppStyleRow* r : view->rows())
            if (r->bundleId() == bundleId) return r;
        return nullptr;
    }
    void choose(AppStyleRow* r, VoiceStyle style) {
        Q_EMIT r->styleMenu()->activated(r->styleMenu()->findData(int(style)));
    }
    const QList<AppInstruction>& entries() const { return harness.pipeline->settings().appInstructions; }

    PipelineHarness harness;
    std::unique_ptr<InstructionsTabView> view;
};

TEST(InstructionsTabView, RowsFollowTheRecentDictations) {
    Tab tab;
    QStringList shown;
    for (AppStyleRow* r : tab.view->rows()) shown << r->appName();
    EXPECT_EQ(shown, (QStringList{QStringLiteral("Mail"), QStringLiteral("Editor"), QStringLiteral("Chat"),
                                  QStringLiteral("org.example.Tool")}));
    EXPECT_FALSE(tab.view->showsEmptyState());
    // A hand-written professional text reads as the style; any other text as natural.
    EXPECT_EQ(tab.row(QStringLiteral("editor"))->subtitle(), QStringLiteral("Professional"));
    EXPECT_EQ(tab.row(QStringLiteral("editor"))->styleMenu()->currentText(), QStringLiteral("Professional"));
    EXPECT_EQ(tab.row(QStringLiteral("chat"))->subtitle(), QStringLiteral("Default formatting"));
    EXPECT_EQ(tab.row(QStringLiteral("chat"))->styleMenu()->currentText(), QStringLiteral("Natural"));

    PipelineHarness empty;
    empty.setUp();
    InstructionsTabView emptyView(*empty.pipeline);
    EXPECT_TRUE(emptyView.showsEmptyState());
    EXPECT_EQ(emptyView.findChildren<QWidget*>(QStringLiteral("styleCard")).size(), 6);
}

TEST(InstructionsTabView, ChoosingAStyleStoresOneEntryAtTheEnd) {
    Tab tab;
    AppStyleRow* mail = tab.row(QStringLiteral("mail"));
    tab.choose(mail, VoiceStyle::professional);
    ASSERT_EQ(tab.entries().size(), 4);
    EXPECT_EQ(tab.entries().last(), (AppInstruction{QStringLiteral("mail"), QStringLiteral("Mail"), kProfessional}));
    EXPECT_EQ(mail->subtitle(), QStringLiteral("Professional"));

    tab.choose(tab.row(QStringLiteral("editor")), VoiceStyle::casual);
    EXPECT_EQ(tab.entries().last().bundleId, QStringLiteral("editor"));
    tab.choose(mail, VoiceStyle::natural);
    for (const AppInstruction& e : tab.entries()) EXPECT_NE(e.bundleId, QStringLiteral("mail"));
    // Entries of applications no longer among the dictations stay stored.
    EXPECT_TRUE(std::any_of(tab.entries().cbegin(), tab.entries().cend(),
                            [](const AppInstruction& e) { return e.bundleId == QStringLiteral("gone"); }));
}

TEST(InstructionsTabView, TheEditorIsSeededAndCommittedOnlyByTheCheckmark) {
    Tab tab;
    AppStyleRow* mail = tab.row(QStringLiteral("mail"));
    mail->editButton()->click();
    ASSERT_TRUE(mail->isEditing());
    EXPECT_TRUE(mail->editText().isEmpty());
    EXPECT_EQ(mail->editor()->placeholderText(), QStringLiteral("Custom instruction for this app…"));

    // Choosing a style while the editor is open replaces its text; the editor stays open
    // through the settings writes.
    tab.choose(mail, VoiceStyle::technical);
    EXPECT_TRUE(mail->isEditing());
    EXPECT_EQ(mail->editText(), VoiceStyles::instruction(VoiceStyle::technical));
    mail->editButton()->click();
    EXPECT_FALSE(mail->isEditing());
    EXPECT_EQ(AppInstructions::instructionFor(tab.harness.pipeline->settings(), QStringLiteral("mail")),
              VoiceStyles::instruction(VoiceStyle::technical));
    EXPECT_EQ(mail->subtitle(), QStringLiteral("Technical"));

    // A custom instruction seeds the editor; blank text removes the entry on commit.
    AppStyleRow* chat = tab.row(QStringLiteral("chat"));
    chat->editButton()->click();
    EXPECT_EQ(chat->editText(), QStringLiteral("Write like a pirate."));
    chat->editor()->setPlainText(QStringLiteral(" \n "));
    EXPECT_EQ(AppInstructions::instructionFor(tab.harness.pipeline->settings(), QStringLiteral("chat")),
              QStringLiteral("Write like a pirate."));  // nothing saved while typing
    chat->editButton()->click();
    EXPECT_EQ(AppInstructions::instructionFor(tab.harness.pipeline->settings(), QStringLiteral("chat")), std::nullopt);
}

}  // namespace
