#include "UI/Overlay/TypingSuggestionPill.h"

#include "UI/Motion/MotionClock.h"
#include "UI/Overlay/OverlayPainting.h"

#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace {

constexpr double kMicSize = 10;
constexpr double kSpacing = 6;
constexpr double kPadX = 12;
constexpr double kPadY = 7;
constexpr double kRadius = 12;
constexpr double kPulseSeconds = 2.2;

QFont textFont() {
    QFont font;
    font.setPixelSize(11);
    font.setWeight(QFont::Medium);
    return font;
}

QString label() { return QStringLiteral("Vantrose it"); }

// A microphone: a capsule head on a cradle with a short stand, `size` high.
void drawMic(QPainter& p, QPointF c, double size, const QColor& color) {
    const double w = size * 0.42, h = size * 0.62;
    QPainterPath head;
    head.addRoundedRect(QRectF(c.x() - w / 2, c.y() - size / 2, w, h), w / 2, w / 2);
    p.fillPath(head, color);
    QPen pen(color, std::max(1.0, size * 0.12));
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const QRectF cradle(c.x() - size * 0.36, c.y() - size * 0.36, size * 0.72, size * 0.66);
    p.drawArc(cradle, 180 * 16, 180 * 16);
    p.drawLine(QPointF(c.x(), c.y() + size * 0.3), QPointF(c.x(), c.y() + size / 2));
}

}  // namespace

TypingSuggestionPill::TypingSuggestionPill(TypingReminderEngine::Suggestion suggestion, std::function<void()> onAccept,
                                           std::function<void(bool)> onDismiss, QWidget* parent, MotionClock* clock)
    : QWidget(parent),
      m_suggestion(std::move(suggestion)),
      m_onAccept(std::move(onAccept)),
      m_onDismiss(std::move(onDismiss)),
      m_clock(clock ? clock : &MotionClock::shared()) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    setObjectName(QStringLiteral("typingSuggestionPill"));
    resize(sizeHint());
    m_appeared.animateTo(1, Animation::spring(0.4, 0.6));
    // The pulse runs for as long as the pill is shown.
    m_clock->requestTicks(this, [this](double dt) {
        m_appeared.step(dt);
        m_pulseTime += dt;
        update();
        return true;
    });
}

QSizeF TypingSuggestionPill::cardSize() {
    const QFontMetricsF metrics(textFont());
    const double textWidth = metrics.horizontalAdvance(label());
    const double contentHeight = std::max(kMicSize + 2, metrics.height());
    return {kPadX + kMicSize + kSpacing + textWidth + kPadX, kPadY + contentHeight + kPadY};
}

QSize TypingSuggestionPill::sizeHint() const {
    const QSizeF card = cardSize();
    return QSize(int(std::ceil(card.width() + 2 * shadowMargin)), int(std::ceil(card.height() + 2 * shadowMargin)));
}

QRectF TypingSuggestionPill::cardRect() const {
    const QSizeF card = cardSize();
    return QRectF((width() - card.width()) / 2, (height() - card.height()) / 2, card.width(), card.height());
}

QString TypingSuggestionPill::suppressTitle(const QString& appName) {
    return QStringLiteral("Don't show in ") + (appName.isEmpty() ? QStringLiteral("this app") : appName);
}

QMenu* TypingSuggestionPill::buildContextMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    // The actions hold the callbacks, not the pill: the pill may be gone when one is chosen.
    const auto dismiss = m_onDismiss;
    menu->addAction(QStringLiteral("Not now"), menu, [dismiss] {
        if (dismiss) dismiss(false);
    });
    menu->addAction(QString(suppressTitle(m_suggestion.appName)).replace(QLatin1Char('&'), QStringLiteral("&&")), menu,
                    [dismiss] {
                        if (dismiss) dismiss(true);
                    });
    return menu;
}

void TypingSuggestionPill::setColumnOpacity(double opacity) {
    opacity = std::clamp(opacity, 0.0, 1.0);
    if (opacity == m_columnOpacity) return;
    m_columnOpacity = opacity;
    update();
}

double TypingSuggestionPill::drawnOpacity() const { return m_columnOpacity * std::clamp(m_appeared.value(), 0.0, 1.0); }

double TypingSuggestionPill::micScale() const {
    // Ease-in-out from 0.92 to 1.12 and back, 2.2 s each way.
    const double cycle = std::fmod(m_pulseTime, 2 * kPulseSeconds) / kPulseSeconds;
    const double fraction = cycle <= 1 ? cycle : 2 - cycle;
    return 0.92 + 0.2 * Animation::curve(Animation::Kind::easeInOut, fraction);
}

void TypingSuggestionPill::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double progress = m_appeared.value();
    const QRectF card = cardRect();
    const QPointF centre = card.center();

    p.setOpacity(drawnOpacity());
    p.translate(centre.x(), centre.y() + 10 * (1 - progress));
    const double scale = 0.7 + 0.3 * progress;
    p.scale(scale, scale);
    p.translate(-centre.x(), -centre.y());

    QPainterPath shape;
    shape.addRoundedRect(card, kRadius, kRadius);
    OverlayPainting::softShadow(p, card, kRadius, 10, 5, 0.4);
    p.fillPath(shape, QColor(0, 0, 0, int(255 * 0.82)));
    OverlayPainting::innerStroke(p, card, kRadius, 0.5, QColor(255, 255, 255, int(255 * 0.08)));

    const QPointF micCentre(card.left() + kPadX + kMicSize / 2, centre.y());
    p.save();
    p.translate(micCentre);
    p.scale(micScale(), micScale());
    p.translate(-micCentre);
    drawMic(p, micCentre, kMicSize, QColor(255, 255, 255, int(255 * 0.85)));
    p.restore();

    p.setFont(textFont());
    p.setPen(QColor(255, 255, 255, int(255 * 0.75)));
    const QRectF textRect(micCentre.x() + kMicSize / 2 + kSpacing, card.top(),
                          card.right() - kPadX - (micCentre.x() + kMicSize / 2 + kSpacing), card.height());
    p.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft, label());
}

void TypingSuggestionPill::mousePressEvent(QMouseEvent* event) {
    m_pressed = event->button() == Qt::LeftButton && cardRect().contains(event->position());
    event->setAccepted(m_pressed);
}

void TypingSuggestionPill::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = m_pressed && event->button() == Qt::LeftButton && cardRect().contains(event->position());
    m_pressed = false;
    // Accepting may remove this pill at once; nothing of it is touched afterwards.
    if (click && m_onAccept) {
        const auto accept = m_onAccept;
        accept();
    }
}

void TypingSuggestionPill::contextMenuEvent(QContextMenuEvent* event) {
    if (!cardRect().contains(event->pos())) {
        event->ignore();
        return;
    }
    QMenu* menu = buildContextMenu(nullptr);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}
