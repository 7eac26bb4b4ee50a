#include "Core/Services/ContextEngine.h"
#include "Models/VantroseSettings.h"
#include "Platform/ContextReader.h"
#include "Platform/ScreenCaptureEngine.h"

#include "support/AtspiFixtureProcess.h"
#include "support/FakeAppDetector.h"
#include "support/FakeContextEngine.h"
#include "support/TestEnvironment.h"

#include <QCoro/QCoroTask>
#include <QCursor>
#include <QFont>
#include <QImage>
#include <QLabel>

#include <gtest/gtest.h>

TEST(ContextEngineDesktop, BuildsFullContextForTheFixture) {
    AtspiFixtureProcess fixture({QStringLiteral("--label"), QStringLiteral("Inbox for Marguerite"),
                                 QStringLiteral("--text"), QStringLiteral("Dear Zephyr team, thanks"),
                                 QStringLiteral("--cursor"), QStringLiteral("16")});
    ASSERT_TRUE(fixture.waitUntilReady());

    FakeAppDetector detector;
    detector.frontApp = FakeAppDetector::app(QStringLiteral("Thunderbird"), QStringLiteral("org.mozilla.Thunderbird"),
                                             std::int32_t(fixture.pid()));
    ContextReader reader(&detector);
    ContextEngine engine(detector, reader);
    FakeDictionarySource dictionary;
    DictionaryEntry often{QStringLiteral("Kubernetes"), std::nullopt, false, 7};
    DictionaryEntry rare{QStringLiteral("gonna"), QStringLiteral("going to"), false, 0};
    DictionaryEntry snippet{QStringLiteral("sig"), QStringLiteral("Best, Ada"), true, 3};
    dictionary.entries = {rare, often, snippet};
    VantroseSettings settings;
    settings.userName = QStringLiteral("Ada Lovelace");
    settings.personalization.emailStyle = WritingStyle::formal;

    TranscriptionContext context;
    ASSERT_TRUE(waitUntil(
        [&] {
            context = QCoro::waitFor(engine.buildTranscriptionContext(settings, dictionary));
            return context.textboxContents.accessibilityIsFunctioning &&
                   context.ocrContext.contains(QStringLiteral("Marguerite"));
        },
        std::chrono::seconds(30)))
        << context.ocrContext.join(' ').toStdString() << " | " << context.textboxContents.contents.toStdString();

    EXPECT_EQ(context.app.bundleId, QStringLiteral("org.mozilla.Thunderbird"));
    EXPECT_EQ(context.app.type, AppType::email);
    EXPECT_TRUE(context.app.classification.isEmail);
    EXPECT_EQ(context.personalizationStyle, WritingStyle::formal);
    EXPECT_EQ(context.textboxContents.beforeText, QStringLiteral("Dear Zephyr team"));
    EXPECT_EQ(context.textboxContents.afterText, QStringLiteral(", thanks"));
    EXPECT_TRUE(context.textboxContents.isEditable);
    EXPECT_TRUE(context.axContext.contains(QStringLiteral("Zephyr")));
    EXPECT_EQ(context.dictionaryContext, (QStringList{"Kubernetes", "gonna"}));
    EXPECT_EQ(context.dictionaryReplacements.value(QStringLiteral("gonna")), QStringLiteral("going to"));
    EXPECT_EQ(context.dictionarySnippets.value(QStringLiteral("sig")), QStringLiteral("Best, Ada"));
    EXPECT_EQ(context.userFirstName, QStringLiteral("Ada"));
    EXPECT_EQ(context.userLastName, QStringLiteral("Lovelace"));
    EXPECT_EQ(context.sessionDictationApps, QStringList{"org.mozilla.Thunderbird"});
    EXPECT_TRUE(context.variableNames.isEmpty());
}

TEST(ScreenCaptureEngineDesktop, ReadsARenderedSentenceAsWords) {
    QLabel label(QStringLiteral("Project Zephyr notes for Marguerite in build rc7"));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(28);
    label.setFont(font);
    label.setStyleSheet(QStringLiteral("background: white; color: black; padding: 24px;"));
    label.setWindowFlag(Qt::FramelessWindowHint);
    label.move(40, 40);
    label.show();
    QCursor::setPos(100, 80);

    ScreenCaptureResult result;
    ASSERT_TRUE(waitUntil(
        [&] {
            ScreenCaptureEngine engine;
            result = QCoro::waitFor(engine.captureAndExtract(QStringLiteral("org.gnome.TextEditor")));
            return result.ocrWords.contains(QStringLiteral("Zephyr")) &&
                   result.ocrWords.contains(QStringLiteral("Marguerite"));
        },
        std::chrono::seconds(20)))
        << result.ocrWords.join(' ').toStdString();
    EXPECT_TRUE(result.ocrWords.contains(QStringLiteral("rc7")));
    EXPECT_FALSE(result.ocrWords.contains(QStringLiteral("notes")));
    ASSERT_TRUE(result.screenshotData.has_value());
    EXPECT_EQ(QImage::fromData(*result.screenshotData, "PNG").size(), QSize(1280, 800));
    EXPECT_GT(result.ocrTimeMs, 0);
}
