#include "UI/Onboarding/VideoBackgroundView.h"

#include "Foundation/MainThread.h"
#include "UI/Onboarding/OnboardingMedia.h"

#include <QMediaPlayer>
#include <QPainter>
#include <QUrl>
#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <QVideoSink>

#include <cstring>
#include <utility>

namespace {

// The first frame turned into an image sets up the converter (on a desktop without a graphics
// card, a software renderer: over half a second). GStreamer stops a video whose first frame
// waits that long for the main thread, so the set-up is done once, before any video plays.
void prepareFrameConversion() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    QVideoFrame frame(QVideoFrameFormat(QSize(16, 16), QVideoFrameFormat::Format_YUV420P));
    if (!frame.map(QVideoFrame::WriteOnly)) return;
    for (int plane = 0; plane < frame.planeCount(); ++plane)
        std::memset(frame.bits(plane), 128, frame.mappedBytes(plane));
    frame.unmap();
    (void)frame.toImage();
}

}  // namespace

void VideoLayerView::paint(QPainter& painter, const QRectF& area, double opacity) const {
    if (m_frame.isNull() || opacity <= 0) return;
    const QRectF source = aspectFillSource(m_frame.size(), area.size());
    if (source.isEmpty()) return;
    painter.save();
    painter.setOpacity(painter.opacity() * opacity);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(area, m_frame, source);
    painter.restore();
}

VideoBackgroundView::VideoBackgroundView(const QString& fileName, const QString& fileExtension,
                                         const QString& subdirectory, QObject* parent)
    : QObject(parent) {
    const QString path = onboardingResource(subdirectory, fileName, fileExtension);
    if (path.isEmpty()) return;
    prepareFrameConversion();
    // No audio output is attached, so the video is silent.
    m_player = new QMediaPlayer(this);
    m_sink = new QVideoSink(this);
    m_player->setVideoSink(m_sink);
    m_player->setLoops(QMediaPlayer::Infinite);
    connect(m_sink, &QVideoSink::videoFrameChanged, this, &VideoBackgroundView::takeFrame);
    m_player->setSource(QUrl::fromLocalFile(path));
    m_player->play();
}

VideoBackgroundView::~VideoBackgroundView() {
    if (m_player) m_player->stop();
}

void VideoBackgroundView::takeFrame(const QVideoFrame& frame) {
    // The player's thread waits while this runs; the image is made after it has moved on, and a
    // frame that arrives before the previous one was drawn replaces it.
    const bool scheduled = m_pendingFrame.isValid();
    m_pendingFrame = frame;
    if (!scheduled) runOnMain(this, [this] { showPendingFrame(); });
}

void VideoBackgroundView::showPendingFrame() {
    const QVideoFrame frame = std::exchange(m_pendingFrame, QVideoFrame());
    if (!frame.isValid()) return;
    m_layer.setFrame(frame.toImage());
    Q_EMIT frameChanged();
}
