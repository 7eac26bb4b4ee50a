#pragma once

#include <QColor>
#include <QFont>
#include <QRectF>
#include <QWidget>

class MotionClock;
class QPainter;

// Base of the pill's faces: a transparent widget that paints its content centred in whatever
// frame the pill gives it and moves on the frames of a MotionClock (the shared display clock
// unless one is passed, so tests can drive a manual clock and render a chosen moment).
// The motion starts when the face is built; a new face starts from its initial state.
class FaceWidget : public QWidget {
    Q_OBJECT
public:
    MotionClock& motionClock() const { return *m_clock; }

protected:
    FaceWidget(QWidget* parent, MotionClock* clock);

    // Called on every display frame with the time since the previous one; answers whether the
    // face still moves (a settled entrance stops asking for frames).
    virtual bool advance(double dt) = 0;
    // Starts the frame ticks (again); called once the state is built and by delayed steps.
    void startTicking();

private:
    MotionClock* m_clock;
};

namespace FaceDrawing {

QColor withOpacity(QColor color, double opacity);
QFont font(double pixelSize, QFont::Weight weight);

// A bar centred on `center`, rounded with `radius`.
void bar(QPainter& p, QPointF center, double width, double height, double radius, const QColor& color);

// Small stand-ins for the desktop's symbols, drawn in a box `size` high centred on `center`.
// A key cap (a rounded square with a bar on it), for "hold the key".
void keyCapGlyph(QPainter& p, QPointF center, double size, const QColor& color);
void checkmarkGlyph(QPainter& p, QPointF center, double size, const QColor& color);
void pauseGlyph(QPainter& p, QPointF center, double size, const QColor& color);
void playGlyph(QPainter& p, QPointF center, double size, const QColor& color);

// The red "Stop" capsule of the hands-free faces: its size, and its drawing at `rect`.
QSizeF stopPillSize();
void stopPill(QPainter& p, const QRectF& rect, double dotOpacity, bool withShadow);

// A soft glow: a capsule faded out over `blur` pixels around it.
void glowCapsule(QPainter& p, const QRectF& rect, const QColor& color, double blur);

}  // namespace FaceDrawing
