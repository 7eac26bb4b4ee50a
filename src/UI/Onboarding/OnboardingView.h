#pragma once

#include "UI/Onboarding/OnboardingFlow.h"

#include <QColor>
#include <QFont>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <map>
#include <vector>

class AbstractAccount;
class QAbstractButton;
class VideoBackgroundView;

// The onboarding window's content: a timed welcome, the two permissions and sign-in, painted
// dark over a background video. It calls `onComplete` when the user finishes (the start button,
// or one second after a successful sign-in); it never closes its window, and a second call is
// possible, so the host counts the completion once.
class OnboardingView : public QWidget {
    Q_OBJECT
public:
    using Permissions = OnboardingFlow::Permissions;
    enum class Control { none, getStarted, enableAccessibility, enableMicrophone, continueButton, signIn, start };

    OnboardingView(AbstractAccount& auth, bool skipWelcome, Permissions permissions, std::function<void()> onComplete,
                   QWidget* parent = nullptr);
    ~OnboardingView() override;

    OnboardingFlow& flow() { return *m_flow; }
    // Where a control is on screen now, in this view's coordinates; empty when it is not shown.
    QRect controlRect(Control control) const;
    bool isControlEnabled(Control control) const;
    // The area whose click skips the welcome sequence (empty after the welcome step).
    QRect welcomeArea() const;
    // The keyboard and accessibility stand-in of a painted control: focusable, named, pressed by
    // Space or Return; hidden while its control is not shown.
    QAbstractButton* controlButton(Control control) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Label {
        QString text;
        QFont font;
        QColor color;
        QRectF rect;
        double opacity = 1;
    };
    enum class Face { text, spinner, logoAndText };
    struct Button {
        Control id = Control::none;
        QRectF rect;
        QString text;
        QFont font;
        QColor textColor;
        QColor fill = Qt::transparent;
        QColor border = Qt::transparent;
        QColor glow = Qt::transparent;       // the resting glow (radius 24)
        QColor hoverGlow = Qt::transparent;  // the glow while hovered (radius 14)
        Face face = Face::text;
        bool enabled = true;
        double opacity = 1;
    };
    struct StepLayout {
        std::vector<QRectF> rows;
        std::vector<Label> labels;
        std::vector<Button> buttons;
    };
    struct Placement {
        QTransform transform;
        double opacity = 1;
    };

    QRectF contentArea() const;
    StepLayout layoutStep(OnboardingStep step, double now) const;
    void layoutWelcome(StepLayout& out, double now) const;
    void layoutPermissions(StepLayout& out, double now) const;
    void layoutReady(StepLayout& out, double now) const;
    Placement placement(OnboardingStep step, double now) const;
    const Button* findButton(const StepLayout& layout, Control control) const;
    Control controlAt(const QPointF& pos) const;
    void activate(Control control);

    void paintBackground(QPainter& painter, double now);
    void paintStep(QPainter& painter, const StepLayout& layout, double now) const;
    void paintButton(QPainter& painter, const Button& button, double now) const;
    void paintFooter(QPainter& painter, double now) const;
    void updateVideos(double now);
    void setHovered(Control control);
    void kick();
    // Moves the stand-ins over the painted controls and follows their names and states.
    void syncControlButtons();
    bool animating(double now) const;

    OnboardingFlow* m_flow = nullptr;
    QPointer<VideoBackgroundView> m_welcomeVideo;
    QPointer<VideoBackgroundView> m_stepsVideo;
    std::map<Control, TimedValue> m_hover;
    Control m_hovered = Control::none;
    Control m_pressed = Control::none;
    bool m_pressedOnWelcome = false;
    QTimer m_ticker;
    std::map<Control, QAbstractButton*> m_controlButtons;
};
