#include "support/SinkMonitor.h"

#include <QtEndian>

#include <cstdlib>

namespace {
constexpr int kLoudThreshold = 1000;  // of 32767
}

SinkMonitor::SinkMonitor() = default;

SinkMonitor::~SinkMonitor() {
    if (m_recorder && m_recorder->state() != QProcess::NotRunning) {
        m_recorder->kill();
        m_recorder->waitForFinished(5000);
    }
}

bool SinkMonitor::start() {
    m_recorder = std::make_unique<QProcess>();
    m_recorder->setProcessChannelMode(QProcess::SeparateChannels);
    QObject::connect(m_recorder.get(), &QProcess::readyReadStandardOutput, m_recorder.get(), [this] { read(); });
    m_recorder->start(QStringLiteral("parec"), {QStringLiteral("--device=@DEFAULT_MONITOR@"), QStringLiteral("--raw"),
                                                QStringLiteral("--format=s16le"), QStringLiteral("--rate=16000"),
                                                QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=20")});
    if (!m_recorder->waitForStarted(10000)) return false;
    // parec exits at once when it cannot connect or the device is unknown.
    return !m_recorder->waitForFinished(300);
}

void SinkMonitor::read() {
    m_pending += m_recorder->readAllStandardOutput();
    const qsizetype samples = m_pending.size() / 2;
    m_samples += samples;
    const auto* data = reinterpret_cast<const uchar*>(m_pending.constData());
    for (qsizetype i = 0; i < samples; ++i)
        if (std::abs(int(qFromLittleEndian<qint16>(data + 2 * i))) > kLoudThreshold) ++m_loud;
    m_pending.remove(0, samples * 2);
}
