#include "Platform/Linux/TesseractRecognizer.h"

#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <cmath>

struct TesseractRecognizer::Engine {
    tesseract::TessBaseAPI api;
    bool initialised = false;
    bool failed = false;
};

TesseractRecognizer& TesseractRecognizer::shared() {
    static TesseractRecognizer recognizer;
    return recognizer;
}

TesseractRecognizer::TesseractRecognizer()
    : m_engine(std::make_unique<Engine>()),
      m_pool(std::make_unique<QThreadPool>()) {
    m_pool->setMaxThreadCount(1);
    m_pool->setExpiryTimeout(-1);
}

TesseractRecognizer::~TesseractRecognizer() {
    m_pool->waitForDone();
    std::lock_guard lock(m_engineMutex);
    if (m_engine->initialised) m_engine->api.End();
}

QFuture<TesseractRecognizer::Result> TesseractRecognizer::recognize(const QImage& image, double minTextHeight) {
    return QtConcurrent::run(m_pool.get(),
                             [this, image, minTextHeight] { return recognizeOnWorker(image, minTextHeight); });
}

TesseractRecognizer::Result TesseractRecognizer::recognizeOnWorker(const QImage& image, double minTextHeight) {
    Result result;
    std::lock_guard lock(m_engineMutex);
    Engine& engine = *m_engine;
    if (!engine.initialised && !engine.failed) {
        // Language data from the system's tessdata folder (tesseract-ocr-eng).
        if (engine.api.Init(nullptr, "eng") != 0)
            engine.failed = true;
        else
            engine.initialised = true;
    }
    if (!engine.initialised) {
        result.error = QStringLiteral("Tesseract could not load its English data");
        return result;
    }
    if (image.isNull() || image.width() < 3 || image.height() < 3) {
        result.error = QStringLiteral("Empty image");
        return result;
    }
    const QImage gray = image.convertToFormat(QImage::Format_Grayscale8);
    engine.api.SetPageSegMode(tesseract::PSM_AUTO);
    engine.api.SetImage(gray.constBits(), gray.width(), gray.height(), 1, int(gray.bytesPerLine()));
    engine.api.SetSourceResolution(96);
    if (engine.api.Recognize(nullptr) != 0) {
        engine.api.Clear();
        result.error = QStringLiteral("Tesseract recognition failed");
        return result;
    }
    const int minHeight = int(std::ceil(minTextHeight * gray.height()));
    std::unique_ptr<tesseract::ResultIterator> it(engine.api.GetIterator());
    if (it) {
        constexpr auto level = tesseract::RIL_TEXTLINE;
        do {
            if (it->Empty(level)) continue;
            int left = 0, top = 0, right = 0, bottom = 0;
            if (it->BoundingBox(level, &left, &top, &right, &bottom) && bottom - top < minHeight) continue;
            std::unique_ptr<char[]> text(it->GetUTF8Text(level));
            if (text) {
                const QString line = QString::fromUtf8(text.get()).trimmed();
                if (!line.isEmpty()) result.lines.append(line);
            }
        } while (it->Next(level));
    }
    engine.api.Clear();
    result.ok = true;
    return result;
}
