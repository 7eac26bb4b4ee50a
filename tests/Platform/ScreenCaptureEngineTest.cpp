#include "Platform/ScreenCaptureEngine.h"
#include "Platform/X11/ScreenGrabber.h"

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

namespace {

ScreenCaptureEngine::Backend fakeBackend(bool permitted, std::optional<QImage> image, std::optional<QStringList> lines,
                                         QString error = {}) {
    ScreenCaptureEngine::Backend backend;
    backend.canCapture = [permitted] { return permitted; };
    backend.capture = [image, error](QString* e) {
        if (!image) *e = error;
        return image;
    };
    backend.recognize = [lines](const QImage&, QString* e) {
        if (!lines) *e = QStringLiteral("engine failed");
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
    for (int i = 0; i < 300; ++i) many << QStringLiteral("Word%1").arg(i);
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
        {"a lone search word drops only itself",
         {"Search", "Marguerite", "Zephyr"},
         "org.gnome.TextEditor",
         {"Marguerite", "Zephyr"}},
        {"type something drops both words", {"Type", "something", "Kubernetes"}, "", {"Kubernetes"}},
        {"slack message followed by a word",
         {"Message", "general", "Kubernetes"},
         "com.slack.Slack",
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
    struct Case {
        QSize in, out;
    };
    const Case cases[] = {
        {{3840, 2160}, {1920, 1080}},
        {{1920, 1200}, {1920, 1200}},
        {{1280, 800}, {1280, 800}},
        {{2160, 3840}, {1080, 1920}},
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
    const ScreenCaptureResult result =
        capture(fakeBackend(true, smallImage(),
                            QStringList{"Search projects", "Project Zephyr notes for Marguerite", "build_2024-rc7.1"}),
                QStringLiteral("org.gnome.TextEditor"));
    EXPECT_EQ(result.ocrWords, (QStringList{"Project", "Zephyr", "Marguerite", "2024", "rc7"}));
    EXPECT_GE(result.totalTimeMs, result.ocrTimeMs);
    EXPECT_TRUE(result.screenshotData.has_value());
}

TEST(ScreenCaptureImage, MonitorUnderThePointer) {
    const QRect left(0, 0, 1920, 1080), right(1920, 0, 2560, 1440), root(0, 0, 4480, 1440);
    struct Case {
        const char* name;
        QList<QRect> monitors;
        int primary;
        QPoint pointer;
        QRect chosen;
    };
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

// Two pixels, pure red then a mid grey-blue, in each layout the X server may hand back; rows are
// padded to the layout's scanline pad. Palette and unknown layouts are refused, not misread.
TEST(ScreenCaptureImage, ReadsEachTrueColourLayoutOrRefusesIt) {
    using Layout = ScreenGrabber::PixelLayout;
    const Layout argb{32, 32, true, true, 0xff0000, 0xff00, 0xff};
    const Layout argbMsb{32, 32, false, true, 0xff0000, 0xff00, 0xff};
    const Layout bgr{32, 32, true, true, 0xff, 0xff00, 0xff0000};
    const Layout deep{32, 32, true, true, 0x3ff00000, 0xffc00, 0x3ff};  // 30-bit colour
    const Layout packed24{24, 32, true, true, 0xff0000, 0xff00, 0xff};
    const Layout rgb565{16, 32, true, true, 0xf800, 0x07e0, 0x001f};
    const QRgb red = qRgb(255, 0, 0), blueGrey = qRgb(0x40, 0x80, 0xff);
    struct Case {
        const char* name;
        Layout layout;
        QByteArray data;
        std::optional<QList<QRgb>> pixels;
    };
    const QByteArray rgb565Data("\x00\xf8\x1f\x44\x00\x00\x00\x00", 8);  // 0x441f: 8 of 31, 32 of 63, 31 of 31
    const Case cases[] = {
        // 30-bit colour below: red 256 of 1023, green 512 of 1023, blue 1023.
        {"32 bits, x8r8g8b8, LSB first", argb, QByteArray("\x00\x00\xff\x00\xff\x80\x40\x00", 8),
         QList<QRgb>{red, blueGrey}},
        {"32 bits, MSB first", argbMsb, QByteArray("\x00\xff\x00\x00\x00\x40\x80\xff", 8), QList<QRgb>{red, blueGrey}},
        {"32 bits, blue in the high byte", bgr, QByteArray("\xff\x00\x00\x00\xff\x80\x40\x00", 8),
         QList<QRgb>{red, qRgb(0xff, 0x80, 0x40)}},
        {"30-bit colour", deep, QByteArray("\x00\x00\xf0\x3f\xff\x03\x08\x10", 8),
         QList<QRgb>{red, qRgb(0x40, 0x80, 0xff)}},
        {"24 bits packed, row padded to 8 bytes", packed24, QByteArray("\x00\x00\xff\xff\x80\x40\x00\x00", 8),
         QList<QRgb>{red, blueGrey}},
        {"16 bits, 5-6-5", rgb565, rgb565Data, QList<QRgb>{red, qRgb(0x42, 0x82, 0xff)}},
        {"palette visual", Layout{8, 32, true, false, 0, 0, 0}, QByteArray(4, '\0'), std::nullopt},
        {"true colour without masks", Layout{32, 32, true, true, 0, 0, 0}, QByteArray(8, '\0'), std::nullopt},
        {"short data", argb, QByteArray(7, '\0'), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto image = ScreenGrabber::convertZPixmap(reinterpret_cast<const uint8_t*>(c.data.constData()),
                                                         c.data.size(), QSize(2, 1), c.layout);
        ASSERT_EQ(image.has_value(), c.pixels.has_value());
        if (!image) continue;
        EXPECT_EQ(image->pixel(0, 0), c.pixels->at(0));
        EXPECT_EQ(image->pixel(1, 0), c.pixels->at(1));
    }
}
