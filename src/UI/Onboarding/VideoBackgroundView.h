#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <QVideoFrame>

class QMediaPlayer;
class QPainter;
class QVideoSink;

// Holds the latest decoded frame of a video and draws it over a whole area, keeping the video's
// proportions and cropping the overflow, so it fills the window at any size.
class VideoLayerView {
public:
    void setFrame(QImage frame) { m_frame = std::move(frame); }
    bool hasFrame() const { return !m_frame.isNull(); }
    void paint(QPainter& painter, const QRectF& area, double opacity) const;

private:
    QImage m_frame;
};

// A muted, looping background video from the program's resources. A missing file plays nothing
// and shows nothing; the owner paints what stands in for it. The player runs from construction
// until the object is destroyed.
class VideoBackgroundView : public QObject {
    Q_OBJECT
public:
    VideoBackgroundView(const QString& fileName, const QString& fileExtension, const QString& subdirectory,
                        QObject* parent = nullptr);
    ~VideoBackgroundView() override;

    bool isPlaying() const { return m_player != nullptr; }
    const VideoLayerView& layer() const { return m_layer; }

Q_SIGNALS:
    void frameChanged();

private:
    void takeFrame(const QVideoFrame& frame);
    void showPendingFrame();

    QMediaPlayer* m_player = nullptr;  // a child; absent when the file is missing
    QVideoSink* m_sink = nullptr;
    QVideoFrame m_pendingFrame;  // received, not yet turned into an image
    VideoLayerView m_layer;
};
