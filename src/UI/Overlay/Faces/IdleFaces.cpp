#include "UI/Overlay/Faces/IdleFaces.h"

#include "UI/Motion/MotionClock.h"
#include "UI/Overlay/OverlayColor.h"

#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <cmath>

using namespace FaceDrawing;

namespace Faces {
double autoReversingEaseInOut(double elapsed, double duration) {
    const double cycles = std::max(0.0, elapsed) / duration;
    const double whole = std::floor(cycles);
    const double fraction = cycles - whole;
    const bool returning = std::fmod(whole, 2.0) != 0;
    return Animation::curve(Animation::Kind::easeInOut, returning ? 1 - fraction : fraction);
}
}  // namespace Faces

namespace {

const QColor& green() {
    static const QColor color = colorFromHex(QStringLiteral("#4ADE80"));
    return color;
}

// A label row shared by the hint and the paused face: a glyph, a 5-pixel gap, then a text.
struct GlyphRow {
    double glyph = 8;
    QFont textFont = font(10.5, QFont::Medium);
    QString text;

    QSizeF size() const {
        const QFontMetricsF metrics(textFont);
        return {glyph + 5 + metrics.horizontalAdvance(text), std::max(glyph, metrics.height())};
    }
    // Returns the glyph's centre; draws the text itself.
    QPointF paint(QPainter& p, const QPointF& center, const QColor& textColor) const {
        const QSizeF s = size();
        const double left = center.x() - s.width() / 2;
        p.setPen(textColor);
        p.setFont(textFont);
        p.drawText(QRectF(left + glyph + 5, center.y() - s.height() / 2, s.width() - glyph - 5, s.height()),
                   Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
        return {left + glyph / 2, center.y()};
    }
};

GlyphRow hintRow() { return {8, font(10.5, QFont::Medium), QStringLiteral("Hold to talk")}; }
GlyphRow pausedRow() { return {8, font(10.5, QFont::Medium), QStringLiteral("Paused")}; }

QSize ceilSize(QSizeF s) { return {int(std::ceil(s.width())), int(std::ceil(s.height()))}; }

void beginPaint(QPainter& p) { p.setRenderHint(QPainter::Antialiasing); }

}  // namespace

// ---- IdleWaveform ---------------------------------------------------------------------------

IdleWaveform::IdleWaveform(QWidget* parent, MotionClock* clock) : FaceWidget(parent, clock) { startTicking(); }

QSize IdleWaveform::sizeHint() const { return {38, 10}; }

bool IdleWaveform::advance(double dt) {
    m_time += m_ticker.advance(dt) * (1.0 / 30);
    return true;
}

void IdleWaveform::paintEvent(QPaintEvent*) {
    QPainter p(this);
    beginPaint(p);
    // Nine 2-wide slots 1.5 apart inside 4 pixels of padding: four bars, the gap, four bars.
    const double left = (width() - 38.0) / 2 + 4;
    const double cy = height() / 2.0;
    for (int slot = 0; slot < 9; ++slot) {
        if (slot == 4) continue;
        const int i = slot < 4 ? 3 - slot : slot - 5;
        const Faces::BarLook look = Faces::idleWaveformBar(i, m_time);
        bar(p, {left + slot * 3.5 + 1, cy}, 2, look.height, 1, withOpacity(green(), look.opacity));
    }
}

// ---- HoverHint ------------------------------------------------------------------------------

HoverHint::HoverHint(QWidget* parent, MotionClock* clock) : FaceWidget(parent, clock) {
    m_appear.animateTo(1, Animation::spring(0.22, 0.65));
    startTicking();
}

QSize HoverHint::sizeHint() const { return ceilSize(hintRow().size()); }

bool HoverHint::advance(double dt) {
    m_appear.step(dt);
    return m_appear.isAnimating();
}

void HoverHint::paintEvent(QPaintEvent*) {
    QPainter p(this);
    beginPaint(p);
    const double progress = m_appear.value();
    const QPointF center = rect().center() + QPointF(0.5, 0.5);
    p.translate(center);
    p.scale(0.8 + 0.2 * progress, 0.8 + 0.2 * progress);
    p.translate(-center);
    p.setOpacity(std::clamp(progress, 0.0, 1.0));
    const GlyphRow row = hintRow();
    const QPointF glyphCenter = row.paint(p, center, withOpacity(Qt::white, 0.5));
    keyCapGlyph(p, glyphCenter, row.glyph, withOpacity(Qt::white, 0.55));
}

// ---- WakeUpStretch --------------------------------------------------------------------------

WakeUpStretch::WakeUpStretch(QWidget* parent, MotionClock* clock) : FaceWidget(parent, clock) {
    // All five flags change at once; each bar's spring starts 0.05 s after its left neighbour's.
    for (int i = 0; i < 5; ++i) {
        auto rise = [this, i] {
            m_springs[i].animateTo(1, Animation::spring(0.25, 0.5));
            startTicking();
        };
        if (i == 0)
            rise();
        else
            motionClock().schedule(this, 0.05 * i, rise);
    }
    startTicking();
}

QSize WakeUpStretch::sizeHint() const { return {21, 18}; }

Faces::BarLook WakeUpStretch::barLook(int i) const {
    const Faces::BarLook rest = Faces::wakeUpBar(i, false);
    const Faces::BarLook risen = Faces::wakeUpBar(i, true);
    const double k = m_springs[i].value();
    return {std::max(0.0, rest.height + (risen.height - rest.height) * k),
            std::clamp(rest.opacity + (risen.opacity - rest.opacity) * k, 0.0, 1.0)};
}

bool WakeUpStretch::advance(double dt) {
    bool moving = false;
    for (AnimatedValue& spring : m_springs) {
        spring.step(dt);
        moving = moving || spring.isAnimating();
    }
    return moving;
}

void WakeUpStretch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    beginPaint(p);
    const double left = (width() - 20.5) / 2;
    for (int i = 0; i < 5; ++i) {
        const Faces::BarLook look = barLook(i);
        bar(p, {left + i * 4.5 + 1.25, height() / 2.0}, 2.5, look.height, 1, withOpacity(green(), look.opacity));
    }
}

// ---- ThinkingEyes ---------------------------------------------------------------------------

namespace {
// An eye of three bars 1.5 apart; `heightOf(i)` and `colorOf(i)` give bar i's look.
template <typename Look>
void eye(QPainter& p, QPointF center, double barWidth, Look look) {
    for (int i = 0; i < 3; ++i) {
        const auto [height, color, dy] = look(i);
        bar(p, {center.x() + (i - 1) * (barWidth + 1.5), center.y() + dy}, barWidth, height, 1, color);
    }
}
}  // namespace

ThinkingEyes::ThinkingEyes(QWidget* parent, MotionClock* clock) : FaceWidget(parent, clock) { startTicking(); }

QSize ThinkingEyes::sizeHint() const { return {26, 10}; }

bool ThinkingEyes::advance(double dt) {
    for (int ticks = m_ticker.advance(dt); ticks > 0; --ticks) {
        m_phase = (m_phase + 1) % 4;
        const Faces::ThinkingLook look = Faces::thinkingLook(m_phase);
        m_lookOffset.animateTo(look.lookOffset, Animation::spring(0.3, 0.6));
        m_eyeScale.animateTo(look.eyeScale, Animation::spring(0.3, 0.6));
    }
    m_lookOffset.step(dt);
    m_eyeScale.step(dt);
    return true;
}

void ThinkingEyes::paintEvent(QPaintEvent*) {
    QPainter p(this);
    beginPaint(p);
    static const QColor blue = colorFromHex(QStringLiteral("#94B8FF"));
    const QPointF center(width() / 2.0 + m_lookOffset.value(), height() / 2.0);
    for (const double dx : {-8.5, 8.5}) {
        const QPointF eyeCenter = center + QPointF(dx, 0);
        p.save();
        p.translate(eyeCenter);
        p.scale(m_eyeScale.value(), m_eyeScale.value());
        eye(p, {0, 0}, 2, [](int i) {
            const Faces::BarLook look = Faces::thinkingBar(i);
            return std::tuple{look.height, withOpacity(blue, look.opacity), 0.0};
        });
        p.restore();
    }
}

// ---- HappyEyes ------------------------------------------------------------------------------

HappyEyes::HappyEyes(QWidget* parent, MotionClock* clock) : FaceWidget(parent, clock) {
    m_smile.animateTo(1, Animation::spring(0.15, 0.5));
    motionClock().schedule(this, 0.25, [this] {
        m_checkPop = true;
        m_check.animateTo(1, Animation::spring(0.18, 0.4));
        startTicking();
    });
    startTicking();
}

QSize HappyEyes::sizeHint() const { return {24, 14}; }

bool HappyEyes::advance(double dt) {
    m_smile.step(dt);
    m_check.step(dt);
    return m_smile.isAnimating() || m_check.isAnimating();
}

void HappyEyes::paintEvent(QPaintEvent*) {
    QPainter p(this);
    beginPaint(p);
    const QPointF center = QPointF(width() / 2.0, height() / 2.0);
    if (m_checkPop) {
        const double grow = std::max(0.0, m_check.value());
        p.setOpacity(std::clamp(grow, 0.0, 1.0));
        checkmarkGlyph(p, center, 11 * grow, green());
        return;
    }
    const double smile = m_smile.value();
    p.setOpacity(std::clamp(smile, 0.0, 1.0));
    p.translate(center);
    p.scale(0.7 + 0.3 * smile, 0.7 + 0.3 * smile);
    // Outer bars sit 1 lower and the middle one 2 higher: a caret. The caret is symmetric, so the
    // mirrored right eye draws the same bars.
    for (const double dx : {-7.5, 7.5})
        eye(p, {dx, 0}, 2, [](int i) { return std::tuple{6.0, withOpacity(green(), 0.6), i == 1 ? -2.0 : 1.0}; });
}

// ---- ConfusedEyes ---------------------------------------------------------------------------

ConfusedEyes::ConfusedEyes(QWidget* parent, MotionClock* clock) : FaceWidget(parent, clock) {
    for (const Faces::TiltStep& step : Faces::confusedWobble()) {
        auto move = [this, step] {
            m_tilt.animateTo(step.target, Animation::physicalSpring(1, 200, step.damping));
            startTicking();
        };
        if (step.at <= 0)
            move();
        else
            motionClock().schedule(this, step.at, move);
    }
    startTicking();
}

QSize ConfusedEyes::sizeHint() const { return {28, 14}; }

bool ConfusedEyes::advance(double dt) {
    m_tilt.step(dt);
    return m_tilt.isAnimating();
}

void ConfusedEyes::paintEvent(QPaintEvent*) {
    QPainter p(this);
    beginPaint(p);
    static const QColor orange = colorFromHex(QStringLiteral("#F5A623"));
    p.translate(width() / 2.0, height() / 2.0);
    p.rotate(m_tilt.value());
    for (const bool highSide : {true, false}) {
        eye(p, {highSide ? -8.5 : 8.5, 0}, 2, [highSide](int i) {
            return std::tuple{Faces::confusedBarHeight(i, highSide), withOpacity(orange, 0.5), 0.0};
        });
    }
}

// ---- PausedLabel ----------------------------------------------------------------------------

PausedLabel::PausedLabel(QWidget* parent, MotionClock* clock) : FaceWidget(parent, clock) { startTicking(); }

QSize PausedLabel::sizeHint() const { return ceilSize(pausedRow().size()); }

double PausedLabel::textOpacity() const { return 0.25 + 0.3 * Faces::autoReversingEaseInOut(m_elapsed, 1.2); }

bool PausedLabel::advance(double dt) {
    m_elapsed += dt;
    return true;  // the pulse repeats for as long as the label is shown
}

void PausedLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    beginPaint(p);
    const GlyphRow row = pausedRow();
    const QPointF glyphCenter =
        row.paint(p, QPointF(width() / 2.0, height() / 2.0), withOpacity(Qt::white, textOpacity()));
    pauseGlyph(p, glyphCenter, row.glyph, withOpacity(Qt::white, 0.55));
}
