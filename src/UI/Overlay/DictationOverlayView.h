#pragma once

#include "Models/DictationStatus.h"
#include "UI/Motion/Spring.h"
#include "UI/Overlay/DictationFeedback.h"
#include "UI/Overlay/OverlayPillRules.h"
#include "UI/Overlay/TypingSuggestionPill.h"

#include <QPainterPath>
#include <QPointer>
#include <QRegion>
#include <QTransform>
#include <QUuid>
#include <QWidget>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <vector>

class DictationPipeline;
class MotionClock;

// The content of the floating overlay panel: a small black pill near the bottom whose size,
// corners, outline, shadow and face follow the dictation status, the typing suggestion above it,
// and the feedback drawn around it (done glow and ring, milestone confetti and toast).
// Everything here is the view's own state and starts afresh with each view. Main thread only.
class DictationOverlayView : public QWidget {
    Q_OBJECT
    // Where the overlay takes the pointer while only part of it does: the suggestion card while
    // one is shown, nothing otherwise (in a hands-free dictation the host lets the whole panel
    // take it). The host shapes the panel's input to it; everywhere else clicks pass through.
    Q_PROPERTY(QRegion pointerRegion READ pointerRegion)
public:
    explicit DictationOverlayView(DictationPipeline& pipeline, QWidget* parent = nullptr);
    // With its own animation clock (tests drive a manual one).
    DictationOverlayView(DictationPipeline& pipeline, MotionClock& clock, QWidget* parent = nullptr);

    QSize sizeHint() const override { return {400, 160}; }

    // What the view shows now.
    OverlayPill::Inputs inputs() const;
    OverlayPill::Face currentFace() const { return m_face; }
    // The face widget; none while the overlay is hidden.
    QWidget* faceWidget() const { return m_faceWidget; }
    TypingSuggestionPill* suggestionPill() const { return m_suggestionPill; }
    QRegion pointerRegion() const;
    // The pill's rectangle as drawn now (mid-animation, before bounce and tilt).
    QRectF pillRect() const;
    // How the pill is drawn about its centre now: bounce scale and milestone tilt, in this
    // view's coordinates. The face is drawn through it too.
    QTransform pillTransform() const;
    // The opacity everything of the column is drawn with now (the entrance fade).
    double columnOpacity() const;
    double bounce() const { return m_bounce.value(); }
    double tilt() const { return m_tilt.value(); }
    double doneGlowOpacity() const { return kDoneGlowOpacity * std::clamp(m_glow.value(), 0.0, 1.0); }
    // Presence (0 gone .. 1 fully in) of the current face and of faces still fading out.
    double facePresence() const { return m_facePresence.value(); }
    int leavingFaceCount() const { return int(m_leaving.size()); }
    double liveTextOpacity() const { return m_textOpacity.value(); }
    // How one face widget is drawn: inside the pill's transform, opacity and rounded shape.
    struct FaceLook {
        QTransform transform;  // in the face's own coordinates
        double opacity = 1;
        QPainterPath clip;  // the pill's shape, in the face's coordinates before the transform
    };
    FaceLook faceLook(const QWidget* face) const;

    static constexpr double kDoneGlowOpacity = 0.08;
    double drawnCornerRadius() const { return m_radius.value(); }
    bool hovered() const { return m_hovered; }
    bool entered() const { return m_entered; }
    const std::vector<float>& smoothBands() const { return m_smoothBands; }
    const DictationFeedback& feedback() const { return m_feedback; }
    // The live text as shown (its beginning cut off when it needs more than two lines).
    QString shownLiveText() const;

    void handleStatusChange(DictationStatus status);

protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent*) override;
    void hideEvent(QHideEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void connectPipeline();
    // Retargets the pill's geometry and face after any change of what it depends on.
    void refresh(const Animation& animation);
    void setHovered(bool hovered);
    void replaceFace(OverlayPill::Face face, const Animation& animation = Animation::none());
    void dropFace();
    void updateSuggestion();
    void updatePointerInput();
    void onBandsChanged();
    void onFeedbackFlag(DictationFeedback::Flag flag, const Animation& animation);
    void animate();
    bool stepAnimations(double dt);
    void layoutChildren();

    QRectF contentFrame() const;
    double columnBottom() const;
    QRectF liveTextRect() const;
    QFont liveTextFont() const;

    void paintDoneRing(QPainter& p, QPointF centre) const;
    void paintConfetti(QPainter& p, QPointF centre) const;
    void paintDoneGlow(QPainter& p, QPointF centre) const;
    void paintPill(QPainter& p, const QRectF& pill) const;
    void paintToast(QPainter& p, QPointF centre) const;

    DictationPipeline& m_pipeline;
    MotionClock& m_clock;
    DictationFeedback m_feedback;

    DictationStatus m_seenStatus = DictationStatus::idle;
    std::vector<float> m_smoothBands = std::vector<float>(10, 0.0f);
    bool m_hovered = false;
    bool m_entered = false;

    // Drawn values, each moving towards what the state asks for.
    AnimatedValue m_width{40};
    AnimatedValue m_height{10};
    AnimatedValue m_radius{5};
    AnimatedValue m_entrance{0};  // 0: 30 below and transparent; 1: in place
    AnimatedValue m_bounce{1.0};
    AnimatedValue m_glow{0};      // done glow opacity factor
    AnimatedValue m_ring{0};      // 0 inserted .. 1 grown and faded
    AnimatedValue m_confetti{0};  // 0 start look .. 1 end look
    AnimatedValue m_tilt{0};      // degrees
    AnimatedValue m_toast{0};     // toast transition progress
    AnimatedValue m_textOpacity{0};
    std::array<double, 12> m_confettiDistance{};

    OverlayPill::Face m_face = OverlayPill::Face::idleWaveform;
    bool m_hasFace = false;
    QPointer<QWidget> m_faceWidget;
    QPointer<TypingSuggestionPill> m_suggestionPill;
    std::optional<QUuid> m_suggestionId;
    struct LeavingFace {
        QPointer<QWidget> widget;
        OverlayPill::Face face;
        std::unique_ptr<AnimatedValue> presence;
    };
    AnimatedValue m_facePresence{1};
    std::vector<LeavingFace> m_leaving;
    void retireFace(const Animation& animation);
    void attachFaceEffect(QWidget* face);
    // What the live text showed last, kept while it fades out.
    QString m_fadingText;
    OverlayPill::Face m_textFace = OverlayPill::Face::listeningEyesWithText;
    mutable QString m_elidedFor;
    mutable double m_elidedWidth = -1;
    mutable QString m_elided;
};
