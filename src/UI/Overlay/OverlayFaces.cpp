#include "UI/Overlay/OverlayFaces.h"

#include <QPainter>
#include <QPainterPath>
#include <QWidget>

namespace {

// Two small eyes, until the drawn faces take the slot.
class PlainFace : public QWidget {
public:
    PlainFace(QColor color, QWidget* parent) : QWidget(parent), m_color(color) {
        setAttribute(Qt::WA_TranslucentBackground);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QPointF c = rect().center();
        for (double dx : {-6.0, 6.0}) {
            QPainterPath eye;
            eye.addRoundedRect(QRectF(c.x() + dx - 1.5, c.y() - 4, 3, 8), 1, 1);
            p.fillPath(eye, m_color);
        }
    }

private:
    QColor m_color;
};

}  // namespace

namespace OverlayFaces {

QWidget* make(OverlayPill::Face face, DictationPipeline&, const std::vector<float>&, float,
              const Actions&, QWidget* parent, MotionClock&) {
    using F = OverlayPill::Face;
    QColor color(255, 255, 255, 150);
    if (face == F::idleWaveform || face == F::wakeUpStretch || face == F::happyEyes) color = QColor(0x4A, 0xDE, 0x80, 150);
    if (face == F::confusedEyes) color = QColor(0xF5, 0xA6, 0x23, 150);
    return new PlainFace(color, parent);
}

void feedLevel(QWidget*, const std::vector<float>&, float) {}

bool hasControls(OverlayPill::Face face) {
    return face == OverlayPill::Face::persistentEyes || face == OverlayPill::Face::persistentPausedLabel;
}

}  // namespace OverlayFaces
