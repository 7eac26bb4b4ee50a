#pragma once

#include <QFuture>
#include <QImage>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>

class QThreadPool;

// Screen text through Tesseract. One engine is built on first use and kept for the process;
// it runs on a worker thread of its own, one image at a time: a lock guards it, because a
// waiting thread may run a still-queued task itself, so the one-thread pool alone does not
// keep two recognitions apart. Tesseract reads OMP_THREAD_LIMIT
// when the process starts, so the run script sets it.
class TesseractRecognizer {
public:
    struct Result {
        bool ok = false;
        QString error;      // set when !ok
        QStringList lines;  // recognised text lines, in reading order
    };

    static TesseractRecognizer& shared();
    ~TesseractRecognizer();

    // Lines shorter than `minTextHeight` (a fraction of the image height) are left out.
    QFuture<Result> recognize(const QImage& image, double minTextHeight = 0.015);

private:
    TesseractRecognizer();
    Result recognizeOnWorker(const QImage& image, double minTextHeight);

    struct Engine;
    std::mutex m_engineMutex;
    std::unique_ptr<Engine> m_engine;  // guarded by m_engineMutex
    std::unique_ptr<QThreadPool> m_pool;
};
