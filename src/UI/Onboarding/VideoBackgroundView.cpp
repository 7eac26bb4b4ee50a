#include "UI/Onboarding/VideoBackgroundView.h"

#include "UI/Onboarding/OnboardingMedia.h"

#include <QMediaPlayer>
#include <QPainter>
#include <QUrl>
#include <QVideoFrame>
#include <QVideoSink>

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
    m_layer.setFrame(frame.toImage());
    Q_EMIT frameChanged();
}
