#include "UI/Settings/VoiceStyle.h"

#include "UI/SettingsTestResults.h"
#include "support/Pipeline/PipelineHarness.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

AppInstruction entry(const QString& bundleId, const QString& instruction) {
    return AppInstruction{bundleId, bundleId + QStringLiteral(" app"), instruction};
}

TEST(VoiceStyles, FromRecognisesOnlyTheExactInstructions) {
    for (VoiceStyle style : allCases<VoiceStyle>())
        EXPECT_EQ(VoiceStyles::from(VoiceStyles::instruction(style)), style);
    const QString professional = VoiceStyles::instruction(VoiceStyle::professional);
    for (const QString& other :
         {QString(), professional.toLower(), professional + QLatin1Char(' '), QStringLiteral("Write like a pirate.")})
        EXPECT_EQ(VoiceStyles::from(other), VoiceStyle::natural) << other.toStdString();
}

TEST(VoiceStyles, CardDescriptionsAreCutAtFortyCharacters) {
    EXPECT_EQ(VoiceStyles::cardDescription(VoiceStyle::natural), QStringLiteral("As you said it"));
    EXPECT_EQ(VoiceStyles::cardDescription(VoiceStyle::casual),
              QStringLiteral("Keep it casual and conversational. Relax…"));
}

TEST(AppInstructions, DetectedAppsAreUniqueByLatestDictation) {
    const QList<TranscriptionResult> recent{
        resultIn(QStringLiteral("org.gnome.gedit"), QStringLiteral("Text Editor")),
        resultIn(QString(), QStringLiteral("Nameless")),                       // no identifier: no row
        resultIn(QStringLiteral("slack"), QString()),                          // no name: its identifier
        resultIn(QStringLiteral("org.gnome.gedit"), QStringLiteral("gedit")),  // older: already listed
    };
    EXPECT_EQ(AppInstructions::detectedApps(recent),
              (QList<AppInstructions::DetectedApp>{{QStringLiteral("Text Editor"), QStringLiteral("org.gnome.gedit")},
                                                   {QStringLiteral("slack"), QStringLiteral("slack")}}));
}

struct StyleWrites : ::testing::Test {
    StyleWrites() {
        VantroseSettings settings;
        settings.appInstructions = {entry(QStringLiteral("a"), QStringLiteral("x")),
                                    entry(QStringLiteral("b"), QStringLiteral("y")),
                                    entry(QStringLiteral("c"), QStringLiteral("z"))};
        harness = std::make_unique<PipelineHarness>(settings);
        harness->setUp();
    }
    DictationPipeline& pipeline() { return *harness->pipeline; }
    QStringList order() const {
        QStringList ids;
        for (const auto& e : harness->pipeline->settings().appInstructions) ids << e.bundleId;
        return ids;
    }
    std::unique_ptr<PipelineHarness> harness;
};

TEST_F(StyleWrites, ChoosingAStyleMovesTheEntryToTheEndInTwoWrites) {
    QSignalSpy writes(&pipeline(), &DictationPipeline::settingsChanged);
    AppInstructions::setStyle(pipeline(), VoiceStyle::professional, QStringLiteral("b"), QStringLiteral("Bee"));
    EXPECT_EQ(writes.count(), 2);
    EXPECT_EQ(order(), (QStringList{QStringLiteral("a"), QStringLiteral("c"), QStringLiteral("b")}));
    EXPECT_EQ(pipeline().settings().appInstructions.last(),
              (AppInstruction{QStringLiteral("b"), QStringLiteral("Bee"),
                              VoiceStyles::instruction(VoiceStyle::professional)}));

    AppInstructions::setStyle(pipeline(), VoiceStyle::natural, QStringLiteral("b"), QStringLiteral("Bee"));
    EXPECT_EQ(writes.count(), 3);
    EXPECT_EQ(order(), (QStringList{QStringLiteral("a"), QStringLiteral("c")}));
}

TEST_F(StyleWrites, CustomInstructionsAreStoredAsTypedUnlessBlank) {
    AppInstructions::setCustomInstruction(pipeline(), QStringLiteral("  Sign as J.  "), QStringLiteral("new"),
                                          QStringLiteral("New"));
    EXPECT_EQ(AppInstructions::instructionFor(pipeline().settings(), QStringLiteral("new")),
              QStringLiteral("  Sign as J.  "));
    AppInstructions::setCustomInstruction(pipeline(), QStringLiteral(" \n\t "), QStringLiteral("a"),
                                          QStringLiteral("A"));
    EXPECT_EQ(AppInstructions::instructionFor(pipeline().settings(), QStringLiteral("a")), std::nullopt);
    EXPECT_EQ(order(), (QStringList{QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("new")}));
}

}  // namespace
