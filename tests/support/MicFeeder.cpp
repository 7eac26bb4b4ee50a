#include "support/MicFeeder.h"

#include <QFile>
#include <QProcess>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

bool MicFeeder::available() {
    const QString fifo = qEnvironmentVariable("VANTROSE_MIC_FIFO");
    return !fifo.isEmpty() && QFile::exists(fifo);
}

MicFeeder::MicFeeder(QString fifoPath)
    : m_fifoPath(fifoPath.isEmpty() ? qEnvironmentVariable("VANTROSE_MIC_FIFO") : std::move(fifoPath)) {}

MicFeeder::~MicFeeder() { wait(); }

void MicFeeder::wait() {
    if (m_thread.joinable()) m_thread.join();
}

void MicFeeder::play(std::vector<float> samples) {
    wait();
    m_finished = false;
    m_thread = std::thread([this, samples = std::move(samples)] {
        const int fd = ::open(m_fifoPath.toLocal8Bit().constData(), O_WRONLY);
        if (fd >= 0) {
            // 20 ms blocks at the pace of a real microphone.
            constexpr std::size_t kBlock = 320;
            std::vector<int16_t> pcm(kBlock);
            auto next = std::chrono::steady_clock::now();
            for (std::size_t offset = 0; offset < samples.size(); offset += kBlock) {
                const std::size_t n = std::min(kBlock, samples.size() - offset);
                for (std::size_t i = 0; i < n; ++i)
                    pcm[i] = int16_t(std::lround(std::clamp(samples[offset + i], -1.0f, 1.0f) * 32767.0f));
                const char* bytes = reinterpret_cast<const char*>(pcm.data());
                std::size_t left = n * sizeof(int16_t);
                while (left > 0) {
                    const ssize_t w = ::write(fd, bytes, left);
                    if (w <= 0) break;
                    bytes += w;
                    left -= std::size_t(w);
                }
                m_written += n;
                next += std::chrono::microseconds(n * 1'000'000 / 16000);
                std::this_thread::sleep_until(next);
            }
            ::close(fd);
        }
        m_finished = true;
    });
}

bool MicFeeder::playFile(const QString& path) {
    QProcess sox;
    sox.start(QStringLiteral("sox"),
              {path, QStringLiteral("-r"), QStringLiteral("16000"), QStringLiteral("-c"), QStringLiteral("1"),
               QStringLiteral("-b"), QStringLiteral("32"), QStringLiteral("-e"), QStringLiteral("floating-point"),
               QStringLiteral("-t"), QStringLiteral("raw"), QStringLiteral("-")});
    if (!sox.waitForFinished(60000) || sox.exitStatus() != QProcess::NormalExit || sox.exitCode() != 0) return false;
    const QByteArray bytes = sox.readAllStandardOutput();
    std::vector<float> samples(std::size_t(bytes.size()) / sizeof(float));
    std::memcpy(samples.data(), bytes.constData(), samples.size() * sizeof(float));
    play(std::move(samples));
    return true;
}
