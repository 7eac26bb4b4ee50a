#include "UI/Overlay/DictationOverlayView.h"

#include "Core/Pipeline/DictationPipeline.h"
#include "UI/Motion/MotionClock.h"
#include "UI/Overlay/OverlayColor.h"
#include "UI/Overlay/OverlayFaces.h"
#include "UI/Overlay/OverlayPainting.h"
#include "UI/Overlay/TypingSuggestionPill.h"

#include <QGraphicsEffect>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRandomGenerator>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

using OverlayPill::Face;

namespace {

constexpr double kLivePadX = 14;
constexpr double kLivePadY = 8;
constexpr double kLiveSpacing = 6;
constexpr double kToastAbove = 34;

QColor hexWithOpacity(const QString& hex, double opacity) {
    QColor color = colorFromHex(hex);
    color.setAlphaF(float(std::clamp(opacity, 0.0, 1.0)));
    return color;
}

QColor white(double opacity) { return QColor(255, 255, 255, int(std::lround(255 * std::clamp(opacity, 0.0, 1.0)))); }
QColor black(double opacity) { return QColor(0, 0, 0, int(std::lround(255 * std::clamp(opacity, 0.0, 1.0)))); }

QFont systemFont(int pixels, QFont::Weight weight) {
    QFont font;
    font.setPixelSize(pixels);
    font.setWeight(weight);
    return font;
}

// Lines `text` needs at `width` in `font`.
int lineCount(const QString& text, const QFont& font, double width) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    int lines = 0;
    while (true) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(width);
        ++lines;
    }
    layout.endLayout();
    return lines;
}

// Draws a face the way the pill is drawn: scaled by the bounce, tilted at a milestone, faded
// with the entrance and with its own coming and going, and clipped to the pill's rounded shape.
// The face stays a child widget so that the hands-free faces keep taking their taps.
class PillFaceEffect : public QGraphicsEffect {
public:
    PillFaceEffect(const DictationOverlayView& view, QWidget& face)
        : QGraphicsEffect(&face),
          m_view(view),
          m_face(face) {}

protected:
    QRectF boundingRectFor(const QRectF& rect) const override {
        // Room for the face to swell and tilt past its own rectangle.
        const double margin = 0.15 * std::max(rect.width(), rect.height()) + 4;
        return rect.adjusted(-margin, -margin, margin, margin);
    }

    void draw(QPainter* painter) override {
        const DictationOverlayView::FaceLook look = m_view.faceLook(&m_face);
        if (look.opacity <= 0.001) return;
        QPoint offset;
        const QPixmap pixmap = sourcePixmap(Qt::LogicalCoordinates, &offset, QGraphicsEffect::NoPad);
        painter->save();
        painter->setOpacity(painter->opacity() * look.opacity);
        painter->setTransform(look.transform, true);
        painter->setRenderHint(QPainter::SmoothPixmapTransform);
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setClipPath(look.clip, Qt::IntersectClip);
        painter->drawPixmap(offset, pixmap);
        painter->restore();
    }

private:
    const DictationOverlayView& m_view;
    QWidget& m_face;
};

}  // namespace

DictationOverlayView::DictationOverlayView(DictationPipeline& pipeline, QWidget* parent)
    : DictationOverlayView(pipeline, MotionClock::shared(), parent) {}

DictationOverlayView::DictationOverlayView(DictationPipeline& pipeline, MotionClock& clock, QWidget* parent)
    : QWidget(parent),
      m_pipeline(pipeline),
      m_clock(clock),
      m_feedback(clock, this) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
    setMouseTracking(true);
    setObjectName(QStringLiteral("dictationOverlay"));
    resize(sizeHint());

    m_seenStatus = m_pipeline.status();
    m_feedback.setObserver(
        [this](DictationFeedback::Flag flag, const Animation& animation) { onFeedbackFlag(flag, animation); });

    // The pill starts at the look of the current state, without motion.
    const OverlayPill::Inputs in = inputs();
    const QSizeF size = OverlayPill::pillSize(in);
    m_width.set(size.width());
    m_height.set(size.height());
    m_radius.set(OverlayPill::cornerRadius(in));
    m_textOpacity.set(OverlayPill::showsLiveText(OverlayPill::pillContent(in)) ? 1 : 0);
    replaceFace(OverlayPill::pillContent(in));
    updateSuggestion();
    updatePointerInput();
    connectPipeline();
}

void DictationOverlayView::connectPipeline() {
    connect(&m_pipeline, &DictationPipeline::statusChanged, this, [this](DictationStatus status) {
        // Once per change of the published status, never for a repeated value.
        if (status == m_seenStatus) return;
        m_seenStatus = status;
        refresh(OverlayPill::shapeAnimation(inputs().expanded));
        handleStatusChange(status);
    });
    connect(&m_pipeline, &DictationPipeline::levelChanged, this, &DictationOverlayView::onBandsChanged);
    connect(&m_pipeline, &DictationPipeline::streamingTextChanged, this,
            [this] { refresh(OverlayPill::expandSpring); });
    connect(&m_pipeline, &DictationPipeline::settingsChanged, this,
            [this] { refresh(OverlayPill::shapeAnimation(inputs().expanded)); });
    connect(&m_pipeline, &DictationPipeline::persistentModeChanged, this, [this] {
        refresh(OverlayPill::morphSpring);
        updatePointerInput();
    });
    connect(&m_pipeline, &DictationPipeline::typingSuggestionChanged, this, &DictationOverlayView::updateSuggestion);
}

OverlayPill::Inputs DictationOverlayView::inputs() const {
    return {m_pipeline.status(), m_hovered, m_pipeline.isPersistentMode(), m_pipeline.settings().expandedPill,
            !m_pipeline.streamingText().isEmpty()};
}

void DictationOverlayView::handleStatusChange(DictationStatus status) {
    m_feedback.handleStatusChange(status, m_pipeline.lastResult());
}

void DictationOverlayView::refresh(const Animation& animation) {
    const OverlayPill::Inputs in = inputs();
    const QSizeF size = OverlayPill::pillSize(in);
    const Animation& shape = OverlayPill::shapeAnimation(in.expanded);
    // The status and hover morph with the default spring; with the expanded pill the shape
    // follows the slower expanding spring.
    const Animation& used = in.expanded ? shape : animation;
    m_width.animateTo(size.width(), used);
    m_height.animateTo(size.height(), used);
    m_radius.animateTo(OverlayPill::cornerRadius(in), used);

    const Face face = OverlayPill::pillContent(in);
    if (!m_hasFace || face != m_face)
        replaceFace(face, animation);
    else if (!m_faceWidget && isVisible())
        replaceFace(face);
    if (OverlayPill::showsLiveText(face)) {
        m_textFace = face;
        m_fadingText = shownLiveText();
        // Under the listening eyes the text fades in on its own short curve.
        if (m_textOpacity.target() < 1)
            m_textOpacity.animateTo(1, face == Face::listeningEyesWithText ? Animation::easeOut(0.25) : animation);
    } else if (m_textOpacity.target() > 0) {
        // The last words stay while they fade out.
        m_textOpacity.animateTo(0, m_textFace == Face::listeningEyesWithText ? Animation::easeOut(0.25) : animation);
    }
    OverlayFaces::feedLevel(m_faceWidget, m_smoothBands, m_pipeline.currentVolume());
    animate();
}

void DictationOverlayView::replaceFace(Face face, const Animation& animation) {
    // A visible pill fades its faces over with the same spring as its shape; otherwise the
    // face is swapped at once.
    const bool fade = animation.kind != Animation::Kind::none && isVisible() && m_faceWidget;
    if (fade)
        retireFace(animation);
    else
        dropFace();
    if (fade) {
        m_facePresence.set(0);
        m_facePresence.animateTo(1, animation);
    } else {
        m_facePresence.set(1);
    }
    m_face = face;
    m_hasFace = true;
    // A hidden overlay keeps no face: faces animate on every frame, and one that comes back
    // starts afresh anyway.
    if (!isVisible()) return;
    DictationPipeline* pipeline = &m_pipeline;
    // The actions hold the pipeline, not the view.
    OverlayFaces::Actions actions;
    actions.onStop = [pipeline] { pipeline->finishPersistentDictation(); };
    actions.onResume = [pipeline] { pipeline->resumeDictation(); };
    m_faceWidget =
        OverlayFaces::make(face, m_pipeline, m_smoothBands, m_pipeline.currentVolume(), actions, this, m_clock);
    m_faceWidget->setObjectName(QStringLiteral("overlayFace"));
    m_faceWidget->setAttribute(Qt::WA_TransparentForMouseEvents,
                               !(OverlayFaces::hasControls(face) && m_pipeline.isPersistentMode()));
    attachFaceEffect(m_faceWidget);
    layoutChildren();
    m_faceWidget->show();
    if (m_suggestionPill) m_suggestionPill->raise();
}

void DictationOverlayView::attachFaceEffect(QWidget* face) {
    face->setGraphicsEffect(new PillFaceEffect(*this, *face));
}

void DictationOverlayView::retireFace(const Animation& animation) {
    if (!m_faceWidget) return;
    LeavingFace leaving{m_faceWidget, m_face, std::make_unique<AnimatedValue>(m_facePresence.value())};
    leaving.presence->animateTo(0, animation);
    m_faceWidget->setAttribute(Qt::WA_TransparentForMouseEvents, true);
    m_faceWidget->setObjectName(QStringLiteral("leavingFace"));
    m_leaving.push_back(std::move(leaving));
    m_faceWidget = nullptr;
}

double DictationOverlayView::columnOpacity() const { return std::clamp(m_entrance.value(), 0.0, 1.0); }

QTransform DictationOverlayView::pillTransform() const {
    const QPointF centre = pillRect().center();
    QTransform t;
    t.translate(centre.x(), centre.y());
    t.rotate(m_tilt.value());
    t.scale(m_bounce.value(), m_bounce.value());
    t.translate(-centre.x(), -centre.y());
    return t;
}

DictationOverlayView::FaceLook DictationOverlayView::faceLook(const QWidget* face) const {
    double presence = 1;
    Face kind = m_face;
    if (face == m_faceWidget) {
        presence = m_facePresence.value();
    } else {
        for (const LeavingFace& leaving : m_leaving)
            if (leaving.widget == face) {
                presence = leaving.presence->value();
                kind = leaving.face;
            }
    }
    presence = std::clamp(presence, 0.0, 1.0);
    const QPointF origin = face ? QPointF(face->pos()) : QPointF();
    const QRectF pill = pillRect().translated(-origin);
    const QPointF centre = pill.center();
    // The live-text column also grows from 0.96 as it comes in.
    const double scale = m_bounce.value() * (OverlayPill::showsLiveText(kind) ? 0.96 + 0.04 * presence : 1.0);
    FaceLook look;
    look.transform.translate(centre.x(), centre.y());
    look.transform.rotate(m_tilt.value());
    look.transform.scale(scale, scale);
    look.transform.translate(-centre.x(), -centre.y());
    look.opacity = columnOpacity() * presence;
    const double radius = std::min({m_radius.value(), pill.width() / 2, pill.height() / 2});
    look.clip.addRoundedRect(pill, std::max(0.0, radius), std::max(0.0, radius));
    return look;
}

void DictationOverlayView::updateSuggestion() {
    const auto& suggestion = m_pipeline.typingSuggestion();
    const std::optional<QUuid> id = suggestion ? std::optional<QUuid>(suggestion->id) : std::nullopt;
    if (id == m_suggestionId && bool(m_suggestionPill) == bool(suggestion)) return;
    m_suggestionId = id;
    // The pipeline publishes suggestion changes without animation: the pill comes and goes at once.
    if (m_suggestionPill) {
        m_suggestionPill->hide();
        m_suggestionPill->deleteLater();
        m_suggestionPill = nullptr;
    }
    if (suggestion) {
        DictationPipeline* pipeline = &m_pipeline;
        m_suggestionPill = new TypingSuggestionPill(
            *suggestion,
            [pipeline] { pipeline->acceptTypingSuggestion(TypingReminderController::AcceptTrigger::pillTap); },
            [pipeline](bool suppress) { pipeline->dismissTypingSuggestion(suppress); }, this, &m_clock);
        // It sits in the column, so the column's entrance fade reaches it too.
        m_suggestionPill->setColumnOpacity(columnOpacity());
        updatePointerInput();
        layoutChildren();
        m_suggestionPill->show();
        m_suggestionPill->raise();
    }
    update();
}

QRegion DictationOverlayView::pointerRegion() const {
    if (!m_suggestionPill) return {};
    return QRegion(m_suggestionPill->cardRect().translated(m_suggestionPill->pos()).toAlignedRect());
}

void DictationOverlayView::updatePointerInput() {
    // Clicks and hover reach the overlay during a hands-free dictation; otherwise they pass
    // through, except on the suggestion card, whose click talks and whose menu dismisses it.
    const bool takesInput = m_pipeline.isPersistentMode();
    setAttribute(Qt::WA_TransparentForMouseEvents, !takesInput);
    if (m_suggestionPill) m_suggestionPill->setAttribute(Qt::WA_TransparentForMouseEvents, false);
    if (m_faceWidget)
        m_faceWidget->setAttribute(Qt::WA_TransparentForMouseEvents,
                                   !(takesInput && OverlayFaces::hasControls(m_face)));
}

void DictationOverlayView::onBandsChanged() {
    OverlayPill::smoothBands(m_smoothBands, m_pipeline.frequencyBands());
    OverlayFaces::feedLevel(m_faceWidget, m_smoothBands, m_pipeline.currentVolume());
}

void DictationOverlayView::onFeedbackFlag(DictationFeedback::Flag flag, const Animation& animation) {
    using Flag = DictationFeedback::Flag;
    switch (flag) {
    case Flag::bounce: m_bounce.animateTo(m_feedback.bounce(), animation); break;
    case Flag::showDone: m_glow.animateTo(m_feedback.showDone() ? 1 : 0, animation); break;
    case Flag::doneRipple:
        // The ring is inserted at its start look and grows while it is present.
        if (m_feedback.doneRipple()) {
            m_ring.set(0);
            m_ring.animateTo(1, animation);
        }
        break;
    case Flag::milestoneFlash:
        if (m_feedback.milestoneFlash()) {
            for (double& distance : m_confettiDistance)
                distance = 25 + QRandomGenerator::global()->bounded(20.0 + 1e-9);
            m_confetti.set(0);
            m_confetti.animateTo(1, animation);
            m_tilt.animateTo(3, animation);
        } else {
            m_tilt.set(0);
        }
        break;
    case Flag::showTimeSaved: m_toast.animateTo(m_feedback.showTimeSaved() ? 1 : 0, animation); break;
    }
    animate();
}

void DictationOverlayView::animate() {
    layoutChildren();
    update();
    m_clock.requestTicks(this, [this](double dt) { return stepAnimations(dt); });
}

bool DictationOverlayView::stepAnimations(double dt) {
    AnimatedValue* values[] = {&m_width, &m_height,   &m_radius, &m_entrance, &m_bounce,      &m_glow,
                               &m_ring,  &m_confetti, &m_tilt,   &m_toast,    &m_textOpacity, &m_facePresence};
    bool moving = false;
    for (AnimatedValue* value : values) {
        value->step(dt);
        moving |= value->isAnimating();
    }
    // Faces that have faded out are released.
    for (auto it = m_leaving.begin(); it != m_leaving.end();) {
        it->presence->step(dt);
        if (!it->widget || (!it->presence->isAnimating() && it->presence->value() <= 0.001)) {
            if (it->widget) {
                it->widget->hide();
                it->widget->deleteLater();
            }
            it = m_leaving.erase(it);
        } else {
            moving = true;
            it->widget->update();
            ++it;
        }
    }
    if (m_suggestionPill) m_suggestionPill->setColumnOpacity(columnOpacity());
    layoutChildren();
    if (m_faceWidget) m_faceWidget->update();
    update();
    return moving;
}

void DictationOverlayView::dropFace() {
    for (LeavingFace& leaving : m_leaving) {
        if (!leaving.widget) continue;
        leaving.widget->hide();
        leaving.widget->deleteLater();
    }
    m_leaving.clear();
    if (!m_faceWidget) return;
    m_faceWidget->hide();
    m_faceWidget->deleteLater();
    m_faceWidget = nullptr;
}

void DictationOverlayView::hideEvent(QHideEvent*) { dropFace(); }

void DictationOverlayView::showEvent(QShowEvent*) {
    if (!m_faceWidget) replaceFace(m_face);
    if (m_entered) return;
    // Rises into place once, on the first appearance.
    m_entered = true;
    m_entrance.animateTo(1, OverlayPill::entranceSpring);
    animate();
}

void DictationOverlayView::resizeEvent(QResizeEvent*) { layoutChildren(); }

QRectF DictationOverlayView::contentFrame() const {
    return QRectF((width() - OverlayPill::kContentWidth) / 2, (height() - OverlayPill::kContentHeight) / 2,
                  OverlayPill::kContentWidth, OverlayPill::kContentHeight);
}

double DictationOverlayView::columnBottom() const {
    return contentFrame().bottom() - OverlayPill::kColumnBottomPadding +
           OverlayPill::kEntranceOffset * (1 - m_entrance.value());
}

QRectF DictationOverlayView::pillRect() const {
    const double w = std::max(0.0, m_width.value()), h = std::max(0.0, m_height.value());
    return QRectF(contentFrame().center().x() - w / 2, columnBottom() - h, w, h);
}

QFont DictationOverlayView::liveTextFont() const { return systemFont(13, QFont::Normal); }

QRectF DictationOverlayView::liveTextRect() const {
    const QRectF inner = pillRect().adjusted(kLivePadX, kLivePadY, -kLivePadX, -kLivePadY);
    const double lineHeight = QFontMetricsF(liveTextFont()).lineSpacing();
    const double textHeight = std::min(inner.height(), 2 * lineHeight);
    return QRectF(inner.left(), inner.bottom() - textHeight, inner.width(), textHeight);
}

QString DictationOverlayView::shownLiveText() const {
    const QString& text = m_pipeline.streamingText();
    const double width = std::max(1.0, liveTextRect().width());
    if (text != m_elidedFor || width != m_elidedWidth) {
        const QFont font = liveTextFont();
        m_elided = OverlayPill::elideHead(text, [&](const QString& s) { return lineCount(s, font, width) <= 2; });
        m_elidedFor = text;
        m_elidedWidth = width;
    }
    return m_elided;
}

void DictationOverlayView::layoutChildren() {
    const QRectF pill = pillRect();
    // A face on its way out stays centred in the pill as the pill changes shape.
    for (const LeavingFace& leaving : m_leaving) {
        if (!leaving.widget) continue;
        QRect r = leaving.widget->geometry();
        r.moveCenter(pill.center().toPoint());
        leaving.widget->setGeometry(r);
    }
    if (m_faceWidget) {
        QRectF faceRect = pill;
        if (OverlayPill::showsLiveText(m_face)) {
            const QRectF inner = pill.adjusted(kLivePadX, kLivePadY, -kLivePadX, -kLivePadY);
            const QRectF text = liveTextRect();
            faceRect = QRectF(inner.left(), inner.top(), inner.width(),
                              std::max(0.0, text.top() - kLiveSpacing - inner.top()));
            // The thinking eyes keep their own width at the leading edge; the listening eyes
            // spread over the column and centre themselves.
            if (m_face == Face::thinkingEyesWithText)
                faceRect.setWidth(std::min(inner.width(), double(m_faceWidget->sizeHint().width())));
        }
        m_faceWidget->setGeometry(faceRect.toAlignedRect());
    }
    if (m_suggestionPill) {
        const QSize size = m_suggestionPill->sizeHint();
        const double cardBottom = pill.top() - OverlayPill::kColumnSpacing;
        const double top = cardBottom - TypingSuggestionPill::cardSize().height() - TypingSuggestionPill::shadowMargin;
        m_suggestionPill->setGeometry(
            QRectF(contentFrame().center().x() - size.width() / 2.0, top, size.width(), size.height()).toAlignedRect());
    }
}

void DictationOverlayView::setHovered(bool hovered) {
    if (hovered == m_hovered) return;
    m_hovered = hovered;
    refresh(OverlayPill::morphSpring);
}

void DictationOverlayView::mouseMoveEvent(QMouseEvent* event) {
    setHovered(pillRect().contains(event->position()));
    QWidget::mouseMoveEvent(event);
}

void DictationOverlayView::leaveEvent(QEvent* event) {
    setHovered(false);
    QWidget::leaveEvent(event);
}

// ---- painting

void DictationOverlayView::paintDoneRing(QPainter& p, QPointF centre) const {
    if (!m_feedback.doneRipple()) return;
    const double t = m_ring.value();
    const double scale = 0.8 + 1.2 * t;
    const double opacity = 0.6 * (1 - t);
    p.save();
    p.setPen(QPen(hexWithOpacity(QStringLiteral("#4ADE80"), 0.3 * opacity), 1.5 * scale));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(centre, 20 * scale - 0.75 * scale, 20 * scale - 0.75 * scale);
    p.restore();
}

void DictationOverlayView::paintConfetti(QPainter& p, QPointF centre) const {
    if (!m_feedback.milestoneFlash()) return;
    static const char* colours[] = {"#4ADE80", "#34D399", "#FBBF24", "#F472B6", "#818CF8", "#38BDF8"};
    const double t = m_confetti.value();
    for (int i = 0; i < 12; ++i) {
        const double distance = 4 + (m_confettiDistance[size_t(i)] - 4) * t;
        const double opacity = 0.9 * (1 - t);
        const double angle = i * M_PI / 6;
        const double side = i % 3 == 0 ? 3 : 2;
        p.save();
        p.translate(centre.x() + distance * std::cos(angle), centre.y() + distance * std::sin(angle));
        p.rotate(i * 30.0);
        QPainterPath piece;
        piece.addRoundedRect(QRectF(-side / 2, -side / 2, side, side), 1, 1);
        p.fillPath(piece, hexWithOpacity(QString::fromLatin1(colours[i % 6]), 0.8 * opacity));
        p.restore();
    }
}

void DictationOverlayView::paintDoneGlow(QPainter& p, QPointF centre) const {
    const double opacity = m_glow.value();
    if (opacity <= 0.001) return;
    const QRectF pill = pillRect();
    const QRectF glow(centre.x() - (pill.width() + 16) / 2, centre.y() - (pill.height() + 12) / 2, pill.width() + 16,
                      pill.height() + 12);
    // White 0.08, softened over a radius of 10 by stacked layers that together reach 0.08
    // where all of them overlap.
    constexpr int kLayers = 8;
    const double layerOpacity = 1 - std::pow(1 - kDoneGlowOpacity * std::clamp(opacity, 0.0, 1.0), 1.0 / kLayers);
    for (int i = 10; i >= -4; i -= 2) {
        QPainterPath layer;
        const QRectF r = glow.adjusted(-i, -i, i, i);
        layer.addRoundedRect(r, std::max(0.0, 12.0 + i), std::max(0.0, 12.0 + i));
        p.fillPath(layer, white(layerOpacity));
    }
}

void DictationOverlayView::paintPill(QPainter& p, const QRectF& pill) const {
    const OverlayPill::Inputs in = inputs();
    const double radius = std::min({m_radius.value(), pill.width() / 2, pill.height() / 2});
    QPainterPath shape;
    shape.addRoundedRect(pill, radius, radius);

    const OverlayPill::Shadow shadow = OverlayPill::shadow(in.status);
    OverlayPainting::softShadow(p, pill, radius, shadow.radius, shadow.offsetY, 0.15);
    p.fillPath(shape, Qt::black);

    const OverlayPill::Outline outline = OverlayPill::borderColor(in.status);
    OverlayPainting::innerStroke(p, pill, radius, 0.5, hexWithOpacity(outline.hex, outline.opacity));

    const bool live = OverlayPill::showsLiveText(m_face);
    if (m_textOpacity.value() > 0.001 && (live || !m_fadingText.isEmpty())) {
        // The text belongs to the live-text column: it comes in with the column's fade and
        // scale, and keeps its last words while it fades out.
        double presence = live ? m_facePresence.value() : 1.0;
        for (const LeavingFace& leaving : m_leaving)
            if (!live && OverlayPill::showsLiveText(leaving.face)) presence = leaving.presence->value();
        presence = std::clamp(presence, 0.0, 1.0);
        const QPointF centre = pill.center();
        const double scale = 0.96 + 0.04 * presence;
        p.save();
        p.setClipPath(shape);
        p.translate(centre);
        p.scale(scale, scale);
        p.translate(-centre);
        p.setFont(liveTextFont());
        p.setPen(
            white(OverlayPill::liveTextOpacity(m_textFace) * std::clamp(m_textOpacity.value(), 0.0, 1.0) * presence));
        QTextOption option(Qt::AlignLeft | Qt::AlignTop);
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        p.drawText(liveTextRect(), live ? shownLiveText() : m_fadingText, option);
        p.restore();
    }
}

void DictationOverlayView::paintToast(QPainter& p, QPointF centre) const {
    const double progress = std::clamp(m_toast.value(), 0.0, 1.5);
    if (progress <= 0.001 && !m_feedback.showTimeSaved()) return;
    const QFont top = systemFont(11, QFont::Bold);
    const QFont bottom = systemFont(9, QFont::Medium);
    const QFontMetricsF topMetrics(top), bottomMetrics(bottom);
    const QString& line1 = m_feedback.timeSavedText();
    const QString& line2 = m_feedback.timeSavedSubtext();
    const double w = std::max(topMetrics.horizontalAdvance(line1), bottomMetrics.horizontalAdvance(line2)) + 24;
    const double h = topMetrics.height() + 3 + bottomMetrics.height() + 12;
    const double clamped = std::clamp(progress, 0.0, 1.0);
    const QRectF box(centre.x() - w / 2, centre.y() - kToastAbove - h / 2 + 6 * (1 - clamped), w, h);

    p.save();
    p.setOpacity(clamped * clamped);
    QPainterPath shape;
    shape.addRoundedRect(box, 10, 10);
    OverlayPainting::softShadow(p, box, 10, 8, 3, 0.4);
    p.fillPath(shape, black(0.85));
    OverlayPainting::innerStroke(p, box, 10, 0.5, hexWithOpacity(QStringLiteral("#4ADE80"), 0.15));
    p.setFont(top);
    p.setPen(white(0.9));
    p.drawText(QRectF(box.left(), box.top() + 6, w, topMetrics.height()), Qt::AlignCenter, line1);
    p.setFont(bottom);
    p.setPen(hexWithOpacity(QStringLiteral("#4ADE80"), 0.8));
    p.drawText(QRectF(box.left(), box.top() + 6 + topMetrics.height() + 3, w, bottomMetrics.height()), Qt::AlignCenter,
               line2);
    p.restore();
}

void DictationOverlayView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double opacity = columnOpacity();
    if (opacity <= 0) return;
    p.setOpacity(opacity);

    const QRectF pill = pillRect();
    const QPointF centre = pill.center();
    paintDoneRing(p, centre);
    paintConfetti(p, centre);
    paintDoneGlow(p, centre);

    p.save();
    p.setTransform(pillTransform(), true);
    paintPill(p, pill);
    p.restore();

    paintToast(p, centre);
}
