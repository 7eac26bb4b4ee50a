#include "UI/Overlay/Faces/ListeningFaces.h"

#include "Core/Pipeline/DictationPipeline.h"
#include "UI/Motion/MotionClock.h"
#include "UI/Overlay/Faces/IdleFaces.h"
#include "UI/Overlay/OverlayColor.h"

#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <utility>

using namespace FaceDrawing;

namespace {

// A blink: shut within 0.04 s, and from 0.06 s on spring open again.
void startBlink(FaceWidget* owner, AnimatedValue& blink) {
    blink.animateTo(0.08, Animation::easeIn(0.04));
    owner->motionClock().schedule(owner, 0.06, [&blink] { blink.animateTo(1.0, Animation::spring(0.18, 0.55)); });
}

const QColor& mint() {
    static const QColor color = colorFromHex(QStringLiteral("#34D399"));
    return color;
}

QRectF stopPillAt(double rightEdge, double height) {
    const QSizeF size = stopPillSize();
    return {rightEdge - size.width(), (height - size.height()) / 2, size.width(), size.height()};
}

QRectF circleAt(double left, double diameter, double height) {
    return {left, (height - diameter) / 2, diameter, diameter};
}

bool insideCircle(const QRectF& rect, QPointF point) {
    const QPointF d = point - rect.center();
    return d.x() * d.x() + d.y() * d.y() <= rect.width() * rect.width() / 4;
}

bool insideCapsule(const QRectF& rect, QPointF point) {
    QPainterPath capsule;
    capsule.addRoundedRect(rect, rect.height() / 2, rect.height() / 2);
    return capsule.contains(point);
}

void roundButton(QPainter& p, const QRectF& rect) {
    p.setPen(Qt::NoPen);
    p.setBrush(withOpacity(Qt::white, 0.08));
    p.drawEllipse(rect);
}

}  // namespace

// ---- TappableFace ---------------------------------------------------------------------------

void TappableFace::mousePressEvent(QMouseEvent* event) {
    m_pressed = event->button() == Qt::LeftButton ? controlAt(event->position()) : 0;
    event->setAccepted(m_pressed != 0);
}

void TappableFace::mouseReleaseEvent(QMouseEvent* event) {
    const int pressed = std::exchange(m_pressed, 0);
    if (event->button() == Qt::LeftButton && pressed != 0 && controlAt(event->position()) == pressed) activate(pressed);
}

// ---- WalleEyes ------------------------------------------------------------------------------

WalleEyes::WalleEyes(const std::vector<float>& bands, float volume, QColor tint, DictationPipeline& pipeline,
                     QWidget* parent, MotionClock* clock)
    : FaceWidget(parent, clock),
      m_bands(bands),
      m_volume(volume),
      m_tint(tint),
      m_pipeline(&pipeline) {
    startTicking();
}

void WalleEyes::tick(double now) {
    const bool hasPipeline = !m_pipeline.isNull();
    const float raw = hasPipeline ? m_pipeline->rawAudioLevel() : 0.0f;
    if (m_state.tick(now, raw, hasPipeline, m_volume, m_blink.value(), Faces::uniform(3.0, 6.0)) ==
        Faces::WalleEyesState::Tick::blinkStarted)
        startBlink(this, m_blink);
}

bool WalleEyes::advance(double dt) {
    m_blink.step(dt);
    tick(motionClock().now());
    return true;
}

void WalleEyes::paintEvent(QPaintEvent*) {
    const std::vector<Faces::PlacedBar> bars = Faces::walleBarLayout(width(), m_geometry);
    if (bars.empty()) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int n = m_geometry.barCount / 2;
    const double t = motionClock().now();
    const QColor fill = withOpacity(m_tint, Faces::walleBarOpacity(m_state.smoothLevel));
    for (const Faces::PlacedBar& placed : bars) {
        const double h = std::max(Faces::walleBarHeight(placed.index, n, t, m_state.smoothLevel, m_blink.value()), 2.0);
        bar(p, {placed.x + m_geometry.barW / 2, height() / 2.0}, m_geometry.barW, h, 1, fill);
    }
}

// ---- PersistentEyes -------------------------------------------------------------------------

PersistentEyes::PersistentEyes(const std::vector<float>& bands, float volume, std::function<void()> onStop,
                               DictationPipeline& pipeline, QWidget* parent, MotionClock* clock)
    : TappableFace(parent, clock),
      m_bands(bands),
      m_volume(volume),
      m_onStop(std::move(onStop)),
      m_pipeline(&pipeline) {
    startTicking();
}

void PersistentEyes::tick() {
    if (m_state.tick(m_volume, Faces::uniform(0.88, 1.12), m_blink.value(), Faces::uniform(3.0, 6.0)))
        startBlink(this, m_blink);
    if (m_glow.target() != m_state.smoothVolume) m_glow.animateTo(m_state.smoothVolume, Animation::easeOut(0.15));
}

bool PersistentEyes::advance(double dt) {
    m_shownFor += dt;
    for (int ticks = m_ticker.advance(dt); ticks > 0; --ticks) tick();
    m_blink.step(dt);
    m_glow.step(dt);
    return true;
}

QRectF PersistentEyes::pauseButtonRect() const { return circleAt(6, 28, height()); }

QRectF PersistentEyes::stopPillRect() const { return stopPillAt(width() - 6, height()); }

void PersistentEyes::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF pause = pauseButtonRect();
    roundButton(p, pause);
    pauseGlyph(p, pause.center(), 8, withOpacity(Qt::white, 0.7));

    const QRectF stop = stopPillRect();
    stopPill(p, stop, 0.5 + 0.5 * Faces::autoReversingEaseInOut(m_shownFor, 0.8), true);

    // The eyes take the room between the two controls.
    const double eyesLeft = pause.right() + 6;
    const double eyesRight = stop.left() - 6;
    const QPointF center((eyesLeft + eyesRight) / 2, height() / 2.0);
    const double glow = std::max(0.0, m_glow.value());
    if (glow > 0) {
        const QSizeF size(20 * glow + 80, 6 * glow + 22);
        glowCapsule(p, QRectF(center - QPointF(size.width() / 2, size.height() / 2), size),
                    withOpacity(mint(), 0.25 * glow), 6 * glow + 10);
    }
    // Six 3-wide bars, a 5-wide gap, six bars, 2 apart: 65 wide.
    double x = center.x() - 65.0 / 2;
    auto drawBar = [&](const Faces::BarLook& look) {
        bar(p, {x + 1.5, center.y()}, 3, look.height, 1.5, withOpacity(mint(), look.opacity));
        x += 3 + 2;
    };
    for (int i = 5; i >= 0; --i) drawBar(Faces::waveBar(m_state.leftBars, i, m_state.time, m_blink.value()));
    x += 5 + 2;
    for (int i = 0; i <= 5; ++i) drawBar(Faces::waveBar(m_state.rightBars, i, m_state.time, m_blink.value()));
}

int PersistentEyes::controlAt(QPointF point) const {
    if (insideCircle(pauseButtonRect(), point)) return 1;
    return insideCapsule(stopPillRect(), point) ? 2 : 0;
}

void PersistentEyes::activate(int control) {
    if (control == 1) {
        if (m_pipeline) m_pipeline->pauseDictation();
    } else if (m_onStop) {
        m_onStop();
    }
}

// ---- PersistentPausedLabel ------------------------------------------------------------------

PersistentPausedLabel::PersistentPausedLabel(std::function<void()> onResume, std::function<void()> onStop,
                                             DictationPipeline& pipeline, QWidget* parent, MotionClock* clock)
    : TappableFace(parent, clock),
      m_onResume(std::move(onResume)),
      m_onStop(std::move(onStop)),
      m_pipeline(&pipeline) {
    for (int i = 0; i < 5; ++i) m_barHeights[i].set(m_breath.barBreath[i]);
    startTicking();
}

bool PersistentPausedLabel::advance(double dt) {
    for (int ticks = m_ticker.advance(dt); ticks > 0; --ticks) {
        m_breath.tick();
        for (int i = 0; i < 5; ++i) m_barHeights[i].animateTo(m_breath.barBreath[i], Animation::easeInOut(0.8));
    }
    for (AnimatedValue& h : m_barHeights) h.step(dt);
    return true;
}

QRectF PersistentPausedLabel::playButtonRect() const { return circleAt(8, 26, height()); }

QRectF PersistentPausedLabel::stopPillRect() const { return stopPillAt(width() - 8, height()); }

void PersistentPausedLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF play = playButtonRect();
    roundButton(p, play);
    playGlyph(p, play.center(), 8, withOpacity(mint(), 0.8));
    const QRectF stop = stopPillRect();
    stopPill(p, stop, 1.0, false);

    // Five 2-wide bars 2 apart (18 wide), a 4-pixel gap, then "Paused"; centred between the controls.
    const QFont textFont = FaceDrawing::font(10, QFont::Medium);
    const double textWidth = QFontMetricsF(textFont).horizontalAdvance(QStringLiteral("Paused"));
    const double centerX = (play.right() + 6 + stop.left() - 6) / 2;
    double x = centerX - (18 + 4 + textWidth) / 2;
    const QColor barColor = withOpacity(mint(), 0.6 * m_breath.breathe);
    for (int i = 0; i < 5; ++i) {
        bar(p, {x + 1, height() / 2.0}, 2, std::max(0.0, m_barHeights[i].value()), 1.5, barColor);
        x += 4;
    }
    x += 4 - 2;
    p.setFont(textFont);
    p.setPen(withOpacity(Qt::white, m_breath.breathe));
    p.drawText(QRectF(x, 0, textWidth + 1, height()), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
               QStringLiteral("Paused"));
}

int PersistentPausedLabel::controlAt(QPointF point) const {
    if (insideCircle(playButtonRect(), point)) return 1;
    return insideCapsule(stopPillRect(), point) ? 2 : 0;
}

void PersistentPausedLabel::activate(int control) {
    const std::function<void()>& action = control == 1 ? m_onResume : m_onStop;
    if (action) action();
}
