#include "Platform/ScreenCaptureEngine.h"

#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Platform/DesktopBackend.h"
#include "Platform/Linux/TesseractRecognizer.h"
#include "Platform/LogCategories.h"

#include <QBuffer>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

namespace {

struct Grab {
    bool permitted = false;
    std::optional<QImage> image;
    QString error;
    Clock::TimePoint captureStart;
    Clock::TimePoint captureEnd;
};

struct Recognition {
    std::optional<QStringList> lines;
    QString error;
};

bool isLetterOrNumberOrMark(char32_t c) { return QChar::isLetterOrNumber(c) || QChar::isMark(c); }

struct PlaceholderPhrase {
    QStringList words;           // lower case
    bool needsFollower = false;  // the phrase ended with a blank: another word must follow
};

PlaceholderPhrase parsePhrase(const QString& phrase) {
    PlaceholderPhrase parsed;
    parsed.words = phrase.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    parsed.needsFollower = phrase.endsWith(QLatin1Char(' '));
    return parsed;
}

QStringList placeholderPhrasesFor(const QString& appBundleId) {
    const QString id = appBundleId.toLower();
    if (id.contains(QLatin1String("notion")))
        return {QStringLiteral("type something"), QStringLiteral("press / for commands"),
                QStringLiteral("type '/' for commands")};
    if (id.contains(QLatin1String("docs")) || id.contains(QLatin1String("chrome")) ||
        id.contains(QLatin1String("google")))
        return {QStringLiteral("type or paste text"), QStringLiteral("type / to insert")};
    if (id.contains(QLatin1String("slack"))) return {QStringLiteral("message #"), QStringLiteral("message ")};
    return {QStringLiteral("type something"), QStringLiteral("search"), QStringLiteral("filter")};
}

}  // namespace

QSet<QString> ScreenCaptureEngine::defaultCommonStopWords() {
    return {"the",    "and",  "for",  "with",  "from", "that",    "this",   "you",  "your",  "are",  "was",
            "have",   "has",  "will", "into",  "type", "message", "reply",  "send", "edit",  "view", "window",
            "help",   "file", "open", "close", "back", "forward", "search", "menu", "share", "home", "settings",
            "cancel", "done", "copy", "paste", "cut",  "save",    "delete", "new"};
}

ScreenCaptureEngine::ScreenCaptureEngine(QSet<QString> commonStopWords)
    : m_commonStopWords(std::move(commonStopWords)),
      m_backend(systemBackend()) {}

ScreenCaptureEngine::Backend ScreenCaptureEngine::systemBackend() {
    Backend backend;
    backend.canCapture = [] { return DesktopBackend::current().canCaptureScreen(); };
    backend.capture = [](QString* error) { return DesktopBackend::current().grabMonitorUnderPointer(error); };
    backend.recognize = [](const QImage& image, QString* error) -> std::optional<QStringList> {
        QFuture<TesseractRecognizer::Result> future = TesseractRecognizer::shared().recognize(image);
        future.waitForFinished();
        const TesseractRecognizer::Result result = future.result();
        if (!result.ok) {
            *error = result.error;
            return std::nullopt;
        }
        return result.lines;
    };
    return backend;
}

QImage ScreenCaptureEngine::downscaledImageIfNeeded(const QImage& image) {
    const int longer = std::max(image.width(), image.height());
    if (longer <= 0) return image;
    const double factor = double(maxImageSide) / double(longer);
    if (factor >= 1.0) return image;
    const int width = int(factor * image.width());
    const int height = int(factor * image.height());
    if (width < 1 || height < 1) return image;
    const QImage scaled = image.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return scaled.isNull() ? image : scaled;
}

QStringList ScreenCaptureEngine::splitIntoAlphanumericPieces(const QStringList& lines) {
    QStringList pieces;
    for (const QString& line : lines) {
        QString current;
        for (char32_t c : line.toUcs4()) {
            if (isLetterOrNumberOrMark(c)) {
                current.append(QString::fromUcs4(&c, 1));
            } else if (!current.isEmpty()) {
                pieces.append(current);
                current.clear();
            }
        }
        if (!current.isEmpty()) pieces.append(current);
    }
    for (QString& piece : pieces) piece = piece.trimmed();
    pieces.removeAll(QString());
    return pieces;
}

QStringList ScreenCaptureEngine::filterPlaceholderText(const QStringList& words, const QString& appBundleId) {
    // A placeholder phrase on screen removes the words of that phrase where it appears; the rest
    // of the screen stays useful context.
    QList<bool> drop(words.size(), false);
    QStringList lowered;
    lowered.reserve(words.size());
    for (const QString& word : words) lowered.append(word.toLower());
    for (const QString& phraseText : placeholderPhrasesFor(appBundleId)) {
        const PlaceholderPhrase phrase = parsePhrase(phraseText);
        const qsizetype n = phrase.words.size();
        if (n == 0) continue;
        for (qsizetype i = 0; i + n <= lowered.size(); ++i) {
            if (phrase.needsFollower && i + n >= lowered.size()) break;
            bool match = true;
            for (qsizetype k = 0; k < n && match; ++k) match = lowered.at(i + k) == phrase.words.at(k);
            if (!match) continue;
            for (qsizetype k = 0; k < n; ++k) drop[i + k] = true;
        }
    }
    static const QSet<QString> singles = {"search", "filter", "message", "type"};
    QStringList kept;
    for (qsizetype i = 0; i < words.size(); ++i)
        if (!drop.at(i) && !singles.contains(lowered.at(i))) kept.append(words.at(i));
    return kept;
}

bool ScreenCaptureEngine::looksLikeIdentifier(const QString& word) {
    if (word.contains(QLatin1Char('_')) || word.contains(QLatin1Char('/')) || word.contains(QLatin1Char('.')))
        return true;
    bool upper = false, lower = false;
    for (char32_t c : word.toUcs4()) {
        if (QChar::isDigit(c)) return true;
        upper = upper || QChar::isUpper(c);
        lower = lower || QChar::isLower(c);
    }
    return upper && lower;
}

bool ScreenCaptureEngine::looksLikeProperNoun(const QString& word) {
    const QList<uint> chars = word.toUcs4();
    if (chars.isEmpty() || !QChar::isUpper(char32_t(chars.first()))) return false;
    for (qsizetype i = 1; i < chars.size(); ++i)
        if (QChar::isUpper(char32_t(chars.at(i))) || QChar::isLower(char32_t(chars.at(i)))) return true;
    return false;
}

QStringList ScreenCaptureEngine::keepWords(const QStringList& words, const QSet<QString>& stopWords) {
    QStringList kept;
    QSet<QString> seen;
    for (const QString& raw : words) {
        const QString word = raw.trimmed();
        if (word.toUcs4().size() < 2) continue;
        const QString lower = word.toLower();
        if (stopWords.contains(lower)) continue;
        bool hasDigit = false;
        for (char32_t c : lower.toUcs4()) hasDigit = hasDigit || QChar::isDigit(c);
        if (!hasDigit && !looksLikeIdentifier(word) && !looksLikeProperNoun(word)) continue;
        if (seen.contains(word)) continue;
        seen.insert(word);
        kept.append(word);
        if (kept.size() >= maxWords) break;
    }
    return kept;
}

QCoro::Task<ScreenCaptureResult> ScreenCaptureEngine::captureAndExtract(QString appBundleId) {
    // Everything the capture needs is copied first: the coroutine never touches the engine
    // after it suspends.
    const Backend backend = m_backend;
    const QSet<QString> stopWords = m_commonStopWords;
    const Clock::TimePoint start = Clock::current().monotonicNow();

    // Futures are named before they are awaited: g++ 12 destroys a lambda temporary twice
    // when it sits inside a co_await expression.
    QFuture<Grab> grabbing = QtConcurrent::run([backend] {
        Grab g;
        g.permitted = backend.canCapture && backend.canCapture();
        if (!g.permitted) return g;
        g.captureStart = Clock::current().monotonicNow();
        if (backend.capture) g.image = backend.capture(&g.error);
        if (g.image) *g.image = downscaledImageIfNeeded(*g.image);
        g.captureEnd = Clock::current().monotonicNow();
        return g;
    });
    const Grab grab = co_await grabbing;
    if (!grab.permitted) {
        VLOG_WARNING(lcScreenCapture) << "Screen Recording permission not granted";
        co_return ScreenCaptureResult{};
    }
    if (!grab.image || grab.image->isNull()) {
        if (!grab.error.isEmpty())
            VLOG_WARNING(lcScreenCapture) << QStringLiteral("Capture failed: %1").arg(grab.error);
        co_return ScreenCaptureResult{};
    }

    // Encoding runs next to recognition; neither waits for the other.
    const QImage image = *grab.image;
    QFuture<std::optional<QByteArray>> png = QtConcurrent::run([image]() -> std::optional<QByteArray> {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG")) return std::nullopt;
        return bytes;
    });
    const Clock::TimePoint ocrStart = Clock::current().monotonicNow();
    QFuture<Recognition> recognising = QtConcurrent::run([backend, image] {
        Recognition r;
        if (backend.recognize)
            r.lines = backend.recognize(image, &r.error);
        else
            r.error = QStringLiteral("No text recogniser");
        return r;
    });
    const Recognition recognition = co_await recognising;
    const Clock::TimePoint ocrEnd = Clock::current().monotonicNow();
    const std::optional<QByteArray> pngData = co_await png;

    QStringList words;
    if (recognition.lines)
        words = splitIntoAlphanumericPieces(*recognition.lines);
    else
        VLOG_WARNING(lcScreenCapture) << QStringLiteral("OCR failed: %1").arg(recognition.error);
    words = keepWords(filterPlaceholderText(words, appBundleId), stopWords);

    ScreenCaptureResult result;
    result.ocrWords = words;
    result.screenshotData = pngData;
    result.captureTimeMs = toMilliseconds(grab.captureEnd - grab.captureStart);
    result.ocrTimeMs = toMilliseconds(ocrEnd - ocrStart);
    result.totalTimeMs = toMilliseconds(ocrEnd - start);
    VLOG_INFO(lcScreenCapture) << QStringLiteral("capture=%1ms ocr=%2ms words=%3")
                                      .arg(QString::asprintf("%.0f", result.captureTimeMs),
                                           QString::asprintf("%.0f", result.ocrTimeMs))
                                      .arg(words.size());
    co_return result;
}
