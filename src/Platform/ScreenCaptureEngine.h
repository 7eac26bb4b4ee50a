#pragma once

#include "Core/Desktop/AbstractScreenCaptureEngine.h"
#include "Models/ScreenCaptureResult.h"

#include <QFuture>
#include <QImage>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Takes a screenshot of the monitor under the pointer and reads its words with Tesseract.
// Grabbing, encoding and recognition all run off the main thread; the pipeline makes a new
// engine per dictation and awaits one capture.
class ScreenCaptureEngine : public AbstractScreenCaptureEngine {
public:
    // The stop words the pipeline hands every engine.
    static QSet<QString> defaultCommonStopWords();

    explicit ScreenCaptureEngine(QSet<QString> commonStopWords = defaultCommonStopWords());

    QCoro::Task<ScreenCaptureResult> captureAndExtract(QString appBundleId) override;

    QSet<QString> commonStopWords() const { return m_commonStopWords; }

    // Seams for tests: the grab ("screen recording" on X11 means a grab works), the capture
    // and the recognition. Each runs off the main thread.
    struct Backend {
        std::function<bool()> canCapture;
        std::function<std::optional<QImage>(QString* error)> capture;
        // Recognised text lines, or nullopt with `error` set.
        std::function<std::optional<QStringList>(const QImage&, QString* error)> recognize;
    };
    static Backend systemBackend();
    void setBackend(Backend backend) { m_backend = std::move(backend); }

    // The steps, exposed for tests.
    static QImage downscaledImageIfNeeded(const QImage& image);
    static QStringList splitIntoAlphanumericPieces(const QStringList& lines);
    static QStringList filterPlaceholderText(const QStringList& words, const QString& appBundleId);
    static QStringList keepWords(const QStringList& words, const QSet<QString>& stopWords);
    static bool looksLikeIdentifier(const QString& word);
    static bool looksLikeProperNoun(const QString& word);

    static constexpr int maxWords = 200;
    static constexpr int maxImageSide = 1920;

private:
    QSet<QString> m_commonStopWords;
    Backend m_backend;
};
