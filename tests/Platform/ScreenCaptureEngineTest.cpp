#include "Platform/Linux/ScreenGrabber.h"
#include "Platform/ScreenCaptureEngine.h"

#include <QCoroTask>

#include <gtest/gtest.h>

namespace {

ScreenCaptureEngine::Backend fakeBackend(bool permitted, std::optional<QImage> image,
                                         std::optional<QStringList> lines, QString error = {}) {
    ScreenCaptureEngine::Backend backend;
    backend.canCapture = [permitted] { return permitted; };
    backend.capture = [image, error](QString* e) {
        if (!image)
            *e = error;
        return image;
    };
    backend.recognize = [lines](const QImage&, QString* e) {
        if (!lines)
            *e = QStringLiteral("engine failed");
        return lines;
    };
    return backend;
}

QImage smallImage() {
    QImage image(64, 32, QImage::Format_RGB32);
    image.fill(Qt::white);
    return image;
}

ScreenCaptureResult capture(ScreenCaptureEngine::Backend backend, const QString& bundleId = {}) {
    ScreenCaptureEngine engine;
    engine.setBackend(std::move(backend));
    return QCoro::waitFor(engine.captureAndExtract(bundleId));
}

}  // namespace

TEST(ScreenCaptureWords, SplitsAtEveryNonAlphanumericCharacter) {
    EXPECT_EQ(ScreenCaptureEngine::splitIntoAlphanumericPieces({"build_2024-rc7.1", "  Café déjà-vu  "}),
              (QStringList{"build", "2024", "rc7", "1", "Café", "déjà", "vu"}));
}

TEST(ScreenCaptureWords, KeepsIdentifiersNumbersAndNamesOnce) {
    const QStringList pieces = ScreenCaptureEngine::splitIntoAlphanumericPieces({"build_2024-rc7.1"});
    EXPECT_EQ(ScreenCaptureEngine::keepWords(pieces, ScreenCaptureEngine::defaultCommonStopWords()),
              (QStringList{"2024", "rc7"}));
    EXPECT_EQ(ScreenCaptureEngine::keepWords({"NASA", "Paris", "hello", "Paris", "PARIS", "Home", "x", "iOS"},
                                             ScreenCaptureEngine::defaultCommonStopWords()),
              (QStringList{"NASA", "Paris", "PARIS", "iOS"}));
    QStringList many;
    for (int i = 0; i < 300; ++i)
        many << QStringLiteral("Word%1").arg(i);
    EXPECT_EQ(ScreenCaptureEngine::keepWords(many, {}).size(), 200);
}

TEST(ScreenCaptureWords, PlaceholderPhrasesRemoveOnlyTheirOwnWords) {
    struct Case {
        const char* name;
        QStringList words;
        QString bundleId;
        QStringList kept;
    };
    const Case cases[] = {
        {"a lone search word drops only itself", {"Search", "Marguerite", "Zephyr"}, "org.gnome.TextEditor",
         {"Marguerite", "Zephyr"}},
        {"type something drops both words", {"Type", "something", "Kubernetes"}, "", {"Kubernetes"}},
        {"slack message followed by a word", {"Message", "general", "Kubernetes"}, "com.slack.Slack",
         {"general", "Kubernetes"}},
        {"slack message as the last word", {"Kubernetes", "message"}, "com.slack.Slack", {"Kubernetes"}},
        {"docs phrase", {"Type", "or", "paste", "text", "Quarterly"}, "com.google.Chrome", {"Quarterly"}},
        {"no phrase keeps the words", {"Filter", "Zephyr"}, "notion-app", {"Zephyr"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ScreenCaptureEngine::filterPlaceholderText(c.words, c.bundleId), c.kept) << c.name;
}

TEST(ScreenCaptureWords, IdentifierAndProperNounTests) {
    EXPECT_TRUE(ScreenCaptureEngine::looksLikeIdentifier("camelCase"));
    EXPECT_TRUE(ScreenCaptureEngine::looksLikeIdentifier("a_b"));
    EXPECT_TRUE(ScreenCaptureEngine::looksLikeIdentifier("v2"));
    EXPECT_FALSE(ScreenCaptureEngine::looksLikeIdentifier("NASA"));
    EXPECT_FALSE(ScreenCaptureEngine::looksLikeIdentifier("hello"));
    EXPECT_TRUE(ScreenCaptureEngine::looksLikeProperNoun("NASA"));
    EXPECT_TRUE(ScreenCaptureEngine::looksLikeProperNoun("Émile"));
    EXPECT_FALSE(ScreenCaptureEngine::looksLikeProperNoun("A1"));
    EXPECT_FALSE(ScreenCaptureEngine::looksLikeProperNoun(""));
}

TEST(ScreenCaptureImage, DownscalesToTheLongerSideLimit) {
    struct Case { QSize in, out; };
    const Case cases[] = {
        {{3840, 2160}, {1920, 1080}}, {{1920, 1200}, {1920, 1200}}, {{1280, 800}, {1280, 800}}, {{2160, 3840}, {1080, 1920}},
    };
    for (const Case& c : cases) {
        QImage image(c.in, QImage::Format_RGB32);
        image.fill(Qt::black);
        EXPECT_EQ(ScreenCaptureEngine::downscaledImageIfNeeded(image).size(), c.out);
    }
}

TEST(ScreenCaptureRun, NoPermissionOrNoImageGivesTheEmptyResult) {
    EXPECT_EQ(capture(fakeBackend(false, smallImage(), QStringList{"Zephyr"})), ScreenCaptureResult{});
    EXPECT_EQ(capture(fakeBackend(true, std::nullopt, QStringList{"Zephyr"}, "Display not found")),
              ScreenCaptureResult{});
}

TEST(ScreenCaptureRun, RecognitionFailureKeepsScreenshot) {
    const ScreenCaptureResult result = capture(fakeBackend(true, smallImage(), std::nullopt));
    EXPECT_TRUE(result.ocrWords.isEmpty());
    ASSERT_TRUE(result.screenshotData.has_value());
    EXPECT_TRUE(result.screenshotData->startsWith("\x89PNG"));
}

TEST(ScreenCaptureRun, FiltersRecognisedLines) {
    const ScreenCaptureResult result = capture(
        fakeBackend(true, smallImage(), QStringList{"Search projects", "Project Zephyr notes for Marguerite", "build_2024-rc7.1"}),
        QStringLiteral("org.gnome.TextEditor"));
    EXPECT_EQ(result.ocrWords, (QStringList{"Project", "Zephyr", "Marguerite", "2024", "rc7"}));
    EXPECT_GE(result.totalTimeMs, result.ocrTimeMs);
    EXPECT_TRUE(result.screenshotData.has_value());
}

TEST(ScreenCaptureImage, MonitorUnderThePointer) {
    const QRect left(0, 0, 1920, 1080), right(1920, 0, 2560, 1440), root(0, 0, 4480, 1440);
    struct Case { const char* name; QList<QRect> monitors; int primary; QPoint pointer; QRect chosen; };
    const Case cases[] = {
        {"pointer on the secondary monitor", {left, right}, 0, {2000, 100}, right},
        {"pointer on the first monitor", {left, right}, 1, {10, 10}, left},
        {"pointer outside every monitor: the primary", {left, right}, 1, {100, 1300}, right},
        {"no primary: the first", {left, right}, -1, {-5, -5}, left},
        {"no monitors: the whole root", {}, -1, {10, 10}, root},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ScreenGrabber::chooseMonitor(c.monitors, c.primary, c.pointer, root), c.chosen) << c.name;
}
