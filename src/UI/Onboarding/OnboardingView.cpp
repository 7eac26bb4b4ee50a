#include "UI/Onboarding/OnboardingView.h"

#include "Core/Cloud/AbstractAccount.h"
#include "Foundation/Clock.h"
#include "Foundation/Config.h"
#include "UI/Onboarding/OnboardingMedia.h"
#include "UI/Onboarding/VideoBackgroundView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QShowEvent>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

// The process clock's monotonic time in seconds, the unit of the animations.
double nowSeconds() { return toSeconds(Clock::current().monotonicNow().time_since_epoch()); }

constexpr double kInset = 48;
constexpr double kFooterBottom = 32;
constexpr double kDotHeight = 6;
constexpr double kDotSpacing = 6;
constexpr auto kFrame = std::chrono::milliseconds(16);

const TimedMotion kHoverMotion = TimedMotion::spring(0.3, 0.65);

QFont serif(double px, bool italic = false) {
    QFont font(QStringLiteral("EB Garamond"));
    font.setPixelSize(int(std::lround(px)));
    font.setItalic(italic);
    return font;
}

QFont systemFont(double px) {
    QFont font = QApplication::font();
    font.setPixelSize(int(std::lround(px)));
    return font;
}

QColor white(double alpha) {
    QColor c(Qt::white);
    c.setAlphaF(float(alpha));
    return c;
}

QColor mix(const QColor& a, const QColor& b, double t) {
    t = std::clamp(t, 0.0, 1.0);
    auto lerp = [t](float x, float y) { return x + (y - x) * float(t); };
    return QColor::fromRgbF(lerp(a.redF(), b.redF()), lerp(a.greenF(), b.greenF()), lerp(a.blueF(), b.blueF()),
                            lerp(a.alphaF(), b.alphaF()));
}

QSizeF measure(const QFont& font, const QString& text) {
    const QFontMetricsF metrics(font);
    return QSizeF(metrics.horizontalAdvance(text), metrics.height());
}

double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }

QPainterPath capsule(const QRectF& rect) {
    QPainterPath path;
    const double radius = rect.height() / 2;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

// What stands in for a background video that does not ship: a dim glow of `tint` over black.
void paintStandIn(QPainter& painter, const QRectF& area, double opacity, const QColor& tint, double centreY) {
    if (opacity <= 0) return;
    painter.save();
    painter.setOpacity(painter.opacity() * clamp01(opacity));
    QRadialGradient gradient(QPointF(area.center().x(), area.top() + area.height() * centreY),
                             std::max(area.width(), area.height()) * 0.75);
    gradient.setColorAt(0, tint);
    gradient.setColorAt(1, Qt::black);
    painter.fillRect(area, gradient);
    painter.restore();
}

}  // namespace

namespace {

// Stands in for one painted button towards the keyboard and screen readers: it takes the focus
// in the button's place, carries its name, and presses it on Space or Return. The pointer passes
// through to the view, which paints the buttons and tracks hover and clicks itself.
class ControlButton : public QAbstractButton {
public:
    explicit ControlButton(QWidget* parent) : QAbstractButton(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::TabFocus);
        hide();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        if (!hasFocus()) return;
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(255, 255, 255, 180), 1.5));
        p.setBrush(Qt::NoBrush);
        const QRectF ring = QRectF(rect()).adjusted(1, 1, -1, -1);
        const double radius = ring.height() / 2;
        p.drawRoundedRect(ring, radius, radius);
    }

    void keyPressEvent(QKeyEvent* event) override {
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && isEnabled()) {
            animateClick();
            return;
        }
        QAbstractButton::keyPressEvent(event);
    }
};

QString accessibleControlName(OnboardingView::Control control, const QString& shownText) {
    using C = OnboardingView::Control;
    // Both permission buttons read "Enable"; the name says which.
    if (control == C::enableAccessibility) return QStringLiteral("Enable Accessibility");
    if (control == C::enableMicrophone) return QStringLiteral("Enable Microphone");
    return shownText;
}

}  // namespace

OnboardingView::OnboardingView(AbstractAccount& auth, bool skipWelcome, Permissions permissions,
                               std::function<void()> onComplete, QWidget* parent)
    : QWidget(parent) {
    registerCustomFonts();
    m_flow = new OnboardingFlow(auth, skipWelcome, std::move(permissions), std::move(onComplete), this);
    m_flow->setSoundPlayer([](const QString& name, const QString& ext) { SFX::shared().play(name, ext); });
    setObjectName(QStringLiteral("onboardingView"));
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(600, 480);
    m_ticker.setInterval(kFrame);
    connect(&m_ticker, &QTimer::timeout, this, [this] {
        const double now = nowSeconds();
        updateVideos(now);
        syncControlButtons();
        update();
        // A hidden view (the host hides the window after completion) needs no frames.
        if (!isVisible() || !animating(now)) m_ticker.stop();
    });
    connect(m_flow, &OnboardingFlow::changed, this, [this] {
        updateVideos(nowSeconds());
        kick();
    });
    updateVideos(nowSeconds());
    // In the order Tab visits them.
    for (Control control : {Control::getStarted, Control::enableAccessibility, Control::enableMicrophone,
                            Control::continueButton, Control::signIn, Control::start}) {
        auto* button = new ControlButton(this);
        connect(button, &QAbstractButton::clicked, this, [this, control] {
            if (isControlEnabled(control) && !controlRect(control).isEmpty()) activate(control);
        });
        m_controlButtons[control] = button;
    }
    syncControlButtons();
}

QAbstractButton* OnboardingView::controlButton(Control control) const {
    const auto it = m_controlButtons.find(control);
    return it == m_controlButtons.end() ? nullptr : it->second;
}

void OnboardingView::syncControlButtons() {
    const double now = nowSeconds();
    const StepLayout layout = layoutStep(m_flow->step(), now);
    const QTransform transform = placement(m_flow->step(), now).transform;
    for (auto& [control, button] : m_controlButtons) {
        const Button* painted = findButton(layout, control);
        if (!painted || painted->opacity <= 0.01) {
            button->hide();
            continue;
        }
        button->setGeometry(transform.mapRect(painted->rect).toAlignedRect());
        if (!painted->text.isEmpty()) {
            const QString name = accessibleControlName(control, painted->text);
            button->setText(name);
            button->setAccessibleName(name);
        }
        button->setEnabled(painted->enabled);
        button->show();
    }
}

void OnboardingView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    syncControlButtons();
}

OnboardingView::~OnboardingView() = default;

// ---------------------------------------------------------------- layout

QRectF OnboardingView::contentArea() const {
    // Everything above the footer; the step content is centred in it.
    return QRectF(0, 0, width(), std::max(0.0, height() - kFooterBottom - kDotHeight));
}

OnboardingView::StepLayout OnboardingView::layoutStep(OnboardingStep step, double now) const {
    StepLayout out;
    switch (step) {
    case OnboardingStep::welcome: layoutWelcome(out, now); break;
    case OnboardingStep::permissions: layoutPermissions(out, now); break;
    case OnboardingStep::ready: layoutReady(out, now); break;
    }
    return out;
}

void OnboardingView::layoutWelcome(StepLayout& out, double now) const {
    const OnboardingFlow::Picture& p = m_flow->picture();
    const QRectF area = contentArea();
    const double cx = area.center().x();
    auto label = [&](const QString& text, const QFont& font, const QColor& color, double top, double offset,
                     double opacity) {
        const QSizeF size = measure(font, text);
        out.labels.push_back(
            {text, font, color, QRectF(cx - size.width() / 2, top + offset, size.width(), size.height()), opacity});
        return size.height();
    };
    const QFont hero = serif(80, true), subtitle = serif(34), brand = serif(88), tagline = serif(22);
    const QString heroText = QStringLiteral("Say it"), subtitleText = QStringLiteral("don’t type it.");
    const QString brandText = QStringLiteral("Vantrose"),
                  taglineText = QStringLiteral("Your voice, your words, instantly.");
    const double first = measure(hero, heroText).height() + 20 + measure(subtitle, subtitleText).height();
    const double second = measure(brand, brandText).height() + 20 + measure(tagline, taglineText).height();
    const double titleHeight = std::max({200.0, first, second});
    const double titleTop = area.center().y() - titleHeight / 2;

    double top = titleTop + (titleHeight - first) / 2;
    top += label(heroText, hero, Qt::white, top, p.heroOffset.value(now), p.heroOpacity.value(now)) + 20;
    label(subtitleText, subtitle, white(0.5), top, p.subtitleOffset.value(now), p.subtitleOpacity.value(now));
    top = titleTop + (titleHeight - second) / 2;
    top += label(brandText, brand, Qt::white, top, p.brandOffset.value(now), p.brandOpacity.value(now)) + 20;
    label(taglineText, tagline, white(0.4), top, p.taglineOffset.value(now), p.taglineOpacity.value(now));

    if (!m_flow->showButton()) return;
    Button button;
    button.id = Control::getStarted;
    button.text = QStringLiteral("Get Started");
    button.font = serif(20);
    const QSizeF text = measure(button.font, button.text);
    const double presence = p.getStartedPresence.value(now);
    const QSizeF size(text.width() + 88, text.height() + 28);
    button.rect = QRectF(cx - size.width() / 2, area.bottom() - 56 - size.height() + 12 * (1 - presence), size.width(),
                         size.height());
    button.textColor = Qt::black;
    button.fill = Qt::white;
    button.glow = white(0.1);
    button.hoverGlow = Qt::white;
    button.opacity = presence;
    out.buttons.push_back(button);
}

void OnboardingView::layoutPermissions(StepLayout& out, double now) const {
    const OnboardingFlow::Picture& p = m_flow->picture();
    const QRectF area = contentArea();
    const double cx = area.center().x();
    const double reveal = p.permReveal.value(now);

    const QFont title = serif(48, true), subtitle = serif(20), name = serif(22), detail = serif(15);
    const QFont done = serif(18, true), enable = serif(16), proceed = serif(20);
    const QString titleText = m_flow->permissionsTitle(), subtitleText = m_flow->permissionsSubtitle();
    const double titleHeight = measure(title, titleText).height();
    const double headerHeight = titleHeight + 14 + measure(subtitle, subtitleText).height();
    const double rowHeight =
        40 + measure(name, QStringLiteral("A")).height() + 4 + measure(detail, QStringLiteral("A")).height();
    const QString continueText = QStringLiteral("Continue");
    const QSizeF continueSize = measure(proceed, continueText) + QSizeF(80, 28);
    const double total = headerHeight + 40 + 2 * rowHeight + 16 + 40 + continueSize.height();
    double top = area.center().y() - total / 2;

    auto centred = [&](const QString& text, const QFont& font, const QColor& color, double y, double opacity) {
        const QSizeF size = measure(font, text);
        out.labels.push_back(
            {text, font, color, QRectF(cx - size.width() / 2, y, size.width(), size.height()), opacity});
    };
    const double headerShift = 10 * (1 - reveal);
    centred(titleText, title, Qt::white, top + headerShift, reveal);
    centred(subtitleText, subtitle, white(0.4), top + headerShift + titleHeight + 14, reveal);
    top += headerHeight + 40;

    struct RowContent {
        QString name;
        QString detail;
        bool granted;
        double done;
        Control control;
    };
    const RowContent rows[] = {
        {QStringLiteral("Accessibility"), m_flow->accessibilityDetail(), m_flow->accessibilityGranted(),
         p.accessibilityDone.value(now), Control::enableAccessibility},
        {QStringLiteral("Microphone"), QStringLiteral("Only listens while you hold the hotkey"),
         m_flow->microphoneGranted(), p.microphoneDone.value(now), Control::enableMicrophone},
    };
    const double rowShift = 8 * (1 - reveal);
    for (const RowContent& row : rows) {
        const QRectF box(area.left() + kInset, top + rowShift, std::max(0.0, area.width() - 2 * kInset), rowHeight);
        out.rows.push_back(box);
        const QSizeF nameSize = measure(name, row.name), detailSize = measure(detail, row.detail);
        out.labels.push_back({row.name, name, white(0.9),
                              QRectF(box.left() + 24, box.top() + 20, nameSize.width(), nameSize.height()), reveal});
        out.labels.push_back(
            {row.detail, detail, white(0.3),
             QRectF(box.left() + 24, box.top() + 20 + nameSize.height() + 4, detailSize.width(), detailSize.height()),
             reveal});
        const QString doneText = QStringLiteral("Done");
        const QSizeF doneSize = measure(done, doneText);
        out.labels.push_back({doneText, done, white(0.5),
                              QRectF(box.right() - 24 - doneSize.width(), box.center().y() - doneSize.height() / 2,
                                     doneSize.width(), doneSize.height()),
                              reveal * clamp01(row.done)});
        Button button;
        button.id = row.control;
        button.text = QStringLiteral("Enable");
        button.font = enable;
        const QSizeF size = measure(enable, button.text) + QSizeF(36, 16);
        button.rect =
            QRectF(box.right() - 24 - size.width(), box.center().y() - size.height() / 2, size.width(), size.height());
        button.textColor = white(0.8);
        button.border = white(0.2);
        button.hoverGlow = white(0.3);
        button.enabled = !row.granted;
        button.opacity = reveal * (1 - clamp01(row.done));
        out.buttons.push_back(button);
        top += rowHeight + 16;
    }
    top += 40 - 16;

    const double lit = p.continueLit.value(now);
    Button proceedButton;
    proceedButton.id = Control::continueButton;
    proceedButton.text = continueText;
    proceedButton.font = proceed;
    proceedButton.rect = QRectF(cx - continueSize.width() / 2, top, continueSize.width(), continueSize.height());
    proceedButton.textColor = mix(white(0.25), Qt::black, lit);
    proceedButton.fill = mix(white(0.08), Qt::white, lit);
    proceedButton.hoverGlow = m_flow->bothGranted() ? QColor(Qt::white) : QColor(Qt::transparent);
    proceedButton.enabled = m_flow->bothGranted();
    proceedButton.opacity = reveal;
    out.buttons.push_back(proceedButton);
}

void OnboardingView::layoutReady(StepLayout& out, double now) const {
    const OnboardingFlow::Picture& p = m_flow->picture();
    const QRectF area = contentArea();
    const double cx = area.center().x();
    const bool signedIn = m_flow->isAuthenticated();

    const QFont line1 = serif(60, true), line2 = serif(22), buttonFont = serif(20);
    const QFont errorFont = systemFont(12), termsFont = systemFont(11);
    const QString line1Text = m_flow->readyLine1(), line2Text = m_flow->readyLine2();
    const QString termsText = QStringLiteral("By continuing, you agree to our Terms of Service");
    // Google's name and logo only where the account server really signs in with Google.
    const bool google = Config::signsInWithGoogle();
    const QString startText = QStringLiteral("Start Vantroseing");
    const QString signInText = google ? QStringLiteral("Sign in with Google") : QStringLiteral("Sign in");
    const double line1Height = measure(line1, line1Text).height();
    const double headerHeight = line1Height + 18 + measure(line2, line2Text).height();
    const double errorShown = p.errorPresence.value(now);
    const bool withError = !m_flow->shownError().isEmpty() && errorShown > 0.001;
    const double errorHeight = withError ? measure(errorFont, m_flow->shownError()).height() + 16 : 0;
    const QSizeF startSize = measure(buttonFont, startText) + QSizeF(80, 28);
    const double groupHeight =
        signedIn ? startSize.height() : 48 + 16 + errorHeight + measure(termsFont, termsText).height();
    double top = area.center().y() - (headerHeight + 44 + groupHeight) / 2;

    auto centred = [&](const QString& text, const QFont& font, const QColor& color, double y, double opacity) {
        const QSizeF size = measure(font, text);
        out.labels.push_back(
            {text, font, color, QRectF(cx - size.width() / 2, y, size.width(), size.height()), opacity});
        return size.height();
    };
    centred(line1Text, line1, Qt::white, top + p.readyLine1Offset.value(now), p.readyLine1Opacity.value(now));
    centred(line2Text, line2, white(0.4), top + line1Height + 18 + p.readyLine2Offset.value(now),
            p.readyLine2Opacity.value(now));
    top += headerHeight + 44;

    const double buttonOpacity = p.readyButtonOpacity.value(now);
    Button button;
    button.font = buttonFont;
    button.textColor = Qt::black;
    button.fill = Qt::white;
    button.glow = white(0.1);
    button.hoverGlow = Qt::white;
    button.opacity = buttonOpacity;
    if (signedIn) {
        button.id = Control::start;
        button.text = startText;
        button.rect = QRectF(cx - startSize.width() / 2, top, startSize.width(), startSize.height());
        out.buttons.push_back(button);
        return;
    }
    button.id = Control::signIn;
    button.text = signInText;
    button.rect = QRectF(cx - 140, top, 280, 48);
    button.face = m_flow->isSigningIn() ? Face::spinner : google ? Face::logoAndText : Face::text;
    button.enabled = !m_flow->isSigningIn();
    out.buttons.push_back(button);
    top += 48 + 16;
    if (withError) {
        QColor red(255, 69, 58);
        red.setAlphaF(0.7f);
        top += centred(m_flow->shownError(), errorFont, red, top, buttonOpacity * clamp01(errorShown)) + 16;
    }
    centred(termsText, termsFont, white(0.15), top, buttonOpacity);
}

OnboardingView::Placement OnboardingView::placement(OnboardingStep step, double now) const {
    // Entering content rises from 24 points below and grows from 0.97; leaving content rises
    // 8 points and shrinks to 0.99, both about the centre of the content area.
    const bool changing = m_flow->previousStep() != m_flow->step();
    const double progress = changing ? clamp01(m_flow->picture().stepChange.value(now)) : 1.0;
    const bool entering = step == m_flow->step();
    const double shift = entering ? 24 * (1 - progress) : -8 * progress;
    const double scale = entering ? 0.97 + 0.03 * progress : 1 - 0.01 * progress;
    const QPointF centre = contentArea().center();
    Placement result;
    result.transform.translate(centre.x(), centre.y() + shift);
    result.transform.scale(scale, scale);
    result.transform.translate(-centre.x(), -centre.y());
    result.opacity = entering ? progress : 1 - progress;
    return result;
}

const OnboardingView::Button* OnboardingView::findButton(const StepLayout& layout, Control control) const {
    for (const Button& button : layout.buttons)
        if (button.id == control) return &button;
    return nullptr;
}

QRect OnboardingView::controlRect(Control control) const {
    const double now = nowSeconds();
    const StepLayout layout = layoutStep(m_flow->step(), now);
    const Button* button = findButton(layout, control);
    if (!button || button->opacity <= 0.01) return {};
    return placement(m_flow->step(), now).transform.mapRect(button->rect).toAlignedRect();
}

bool OnboardingView::isControlEnabled(Control control) const {
    const StepLayout layout = layoutStep(m_flow->step(), nowSeconds());
    const Button* button = findButton(layout, control);
    return button && button->enabled;
}

QRect OnboardingView::welcomeArea() const {
    return m_flow->step() == OnboardingStep::welcome ? contentArea().toAlignedRect() : QRect();
}

OnboardingView::Control OnboardingView::controlAt(const QPointF& pos) const {
    const double now = nowSeconds();
    const StepLayout layout = layoutStep(m_flow->step(), now);
    const QTransform transform = placement(m_flow->step(), now).transform;
    for (const Button& button : layout.buttons)
        if (button.opacity > 0.01 && transform.mapRect(button.rect).contains(pos)) return button.id;
    return Control::none;
}

// ---------------------------------------------------------------- input

void OnboardingView::activate(Control control) {
    switch (control) {
    case Control::none: break;
    case Control::getStarted: m_flow->getStarted(); break;
    case Control::enableAccessibility: m_flow->grantAccessibility(); break;
    case Control::enableMicrophone: m_flow->grantMicrophone(); break;
    case Control::continueButton: m_flow->continueToReady(); break;
    case Control::signIn: m_flow->signIn(); break;
    case Control::start: m_flow->start(); break;
    }
}

void OnboardingView::setHovered(Control control) {
    if (control == m_hovered) return;
    const double now = nowSeconds();
    if (m_hovered != Control::none) m_hover[m_hovered].animate(0, kHoverMotion, now);
    if (control != Control::none) m_hover[control].animate(1, kHoverMotion, now);
    m_hovered = control;
    setCursor(control != Control::none && isControlEnabled(control) ? Qt::PointingHandCursor : Qt::ArrowCursor);
    kick();
}

void OnboardingView::mouseMoveEvent(QMouseEvent* event) { setHovered(controlAt(event->position())); }

void OnboardingView::leaveEvent(QEvent*) { setHovered(Control::none); }

void OnboardingView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    m_pressed = controlAt(event->position());
    m_pressedOnWelcome = m_pressed == Control::none && welcomeArea().contains(event->position().toPoint());
}

void OnboardingView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const Control pressed = std::exchange(m_pressed, Control::none);
    const bool onWelcome = std::exchange(m_pressedOnWelcome, false);
    const QPointF pos = event->position();
    if (pressed != Control::none) {
        if (controlAt(pos) == pressed && isControlEnabled(pressed)) activate(pressed);
    } else if (onWelcome && welcomeArea().contains(pos.toPoint())) {
        m_flow->skipWelcomeSequence();
    }
    setHovered(controlAt(pos));
}

void OnboardingView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) m_flow->appear();
    updateVideos(nowSeconds());
    kick();
}

void OnboardingView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    updateVideos(nowSeconds());
}

// ---------------------------------------------------------------- painting

bool OnboardingView::animating(double now) const {
    if (m_flow->isAnimating(now) || m_flow->isSigningIn()) return true;
    return std::any_of(m_hover.begin(), m_hover.end(), [now](const auto& entry) { return entry.second.isMoving(now); });
}

void OnboardingView::kick() {
    syncControlButtons();
    update();
    if (!m_ticker.isActive()) m_ticker.start();
}

void OnboardingView::updateVideos(double now) {
    // The welcome video lives while its step is shown or fading out; the second one from the
    // permissions step on, across the change to the last step. Only while the view is on screen:
    // a closed window decodes nothing (a playing video wakes the program hundreds of times a
    // second), and showing it again starts its video afresh.
    const bool onScreen = isVisible();
    const bool welcomeShown =
        onScreen && (m_flow->step() == OnboardingStep::welcome || (m_flow->previousStep() == OnboardingStep::welcome &&
                                                                   m_flow->picture().stepChange.value(now) < 1));
    auto keep = [this](QPointer<VideoBackgroundView>& video, bool shown, const QString& name) {
        if (shown && !video) {
            video = new VideoBackgroundView(name, QStringLiteral("mp4"), QStringLiteral("videos"), this);
            connect(video, &VideoBackgroundView::frameChanged, this, qOverload<>(&QWidget::update));
        } else if (!shown && video) {
            delete video.data();
        }
    };
    keep(m_welcomeVideo, welcomeShown, QStringLiteral("tv_zoom"));
    keep(m_stepsVideo, onScreen && m_flow->step() != OnboardingStep::welcome, QStringLiteral("steps_bg"));
}

void OnboardingView::paintBackground(QPainter& painter, double now) {
    const QRectF area = rect();
    painter.fillRect(area, Qt::black);
    const bool changing = m_flow->previousStep() != m_flow->step();
    const double progress = changing ? clamp01(m_flow->picture().stepChange.value(now)) : 1.0;
    const double videoOpacity = clamp01(m_flow->picture().videoOpacity.value(now));
    double welcomeOpacity = 0, stepsOpacity = 0;
    if (m_flow->step() == OnboardingStep::welcome) {
        welcomeOpacity = videoOpacity;
    } else {
        stepsOpacity = m_flow->previousStep() == OnboardingStep::welcome ? progress : 1.0;
        if (m_flow->previousStep() == OnboardingStep::welcome) welcomeOpacity = videoOpacity * (1 - progress);
    }
    auto layer = [&](const QPointer<VideoBackgroundView>& video, double opacity, const QColor& tint, double centreY) {
        if (video && video->layer().hasFrame())
            video->layer().paint(painter, area, opacity);
        else
            paintStandIn(painter, area, opacity, tint, centreY);
    };
    layer(m_welcomeVideo, welcomeOpacity, QColor(74, 58, 44), 0.42);
    layer(m_stepsVideo, stepsOpacity, QColor(38, 44, 60), 0.3);
    painter.fillRect(area, QColor(0, 0, 0, 102));
}

void OnboardingView::paintButton(QPainter& painter, const Button& button, double now) const {
    if (button.opacity <= 0.001) return;
    const auto hoverEntry = m_hover.find(button.id);
    const double hover = hoverEntry == m_hover.end() ? 0.0 : std::max(0.0, hoverEntry->second.value(now));
    painter.save();
    painter.setOpacity(painter.opacity() * clamp01(button.opacity));
    const QPointF centre = button.rect.center();
    const double scale = 1 + 0.03 * hover;
    painter.translate(centre);
    painter.scale(scale, scale);
    painter.translate(-centre);

    const QPainterPath shape = capsule(button.rect);
    paintGlow(painter, shape, button.glow, 24);
    QColor hoverGlow = button.hoverGlow;
    hoverGlow.setAlphaF(float(hoverGlow.alphaF() * 0.2 * clamp01(hover)));
    paintGlow(painter, shape, hoverGlow, 14 * hover);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(shape, button.fill);
    if (button.border.alpha() > 0) {
        painter.setPen(QPen(button.border, 0.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(capsule(button.rect.adjusted(0.25, 0.25, -0.25, -0.25)));
    }

    painter.setFont(button.font);
    painter.setPen(button.textColor);
    switch (button.face) {
    case Face::text: painter.drawText(button.rect, Qt::AlignCenter, button.text); break;
    case Face::spinner: {
        // Dark on the white capsule so it stays visible.
        const QRectF ring(centre.x() - 8, centre.y() - 8, 16, 16);
        painter.setPen(QPen(QColor(0, 0, 0, 150), 2, Qt::SolidLine, Qt::RoundCap));
        const int start = int(std::fmod(now * 360.0, 360.0) * -16);
        painter.drawArc(ring, start, 270 * 16);
        break;
    }
    case Face::logoAndText: {
        const double textWidth = QFontMetricsF(button.font).horizontalAdvance(button.text);
        const double left = centre.x() - (18 + 10 + textWidth) / 2;
        GoogleLogoOnboarding::paint(painter, QRectF(left, centre.y() - 9, 18, 18));
        painter.drawText(QRectF(left + 28, button.rect.top(), textWidth + 2, button.rect.height()),
                         Qt::AlignVCenter | Qt::AlignLeft, button.text);
        break;
    }
    }
    painter.restore();
}

void OnboardingView::paintStep(QPainter& painter, const StepLayout& layout, double now) const {
    painter.setRenderHint(QPainter::Antialiasing);
    const double reveal = clamp01(m_flow->picture().permReveal.value(now));
    for (const QRectF& row : layout.rows) {
        painter.save();
        painter.setOpacity(painter.opacity() * reveal);
        QPainterPath box;
        box.addRoundedRect(row, 14, 14);
        painter.fillPath(box, white(0.04));
        QPainterPath border;
        border.addRoundedRect(row.adjusted(0.25, 0.25, -0.25, -0.25), 13.75, 13.75);
        painter.setPen(QPen(white(0.06), 0.5));
        painter.drawPath(border);
        painter.restore();
    }
    for (const Label& label : layout.labels) {
        if (label.opacity <= 0.001) continue;
        painter.save();
        painter.setOpacity(painter.opacity() * clamp01(label.opacity));
        painter.setFont(label.font);
        painter.setPen(label.color);
        painter.drawText(label.rect.adjusted(-2, 0, 2, 0), Qt::AlignCenter | Qt::TextDontClip, label.text);
        painter.restore();
    }
    for (const Button& button : layout.buttons) paintButton(painter, button, now);
}

void OnboardingView::paintFooter(QPainter& painter, double now) const {
    double x = kInset;
    const double y = height() - kFooterBottom - kDotHeight;
    painter.setRenderHint(QPainter::Antialiasing);
    for (OnboardingStep step : allOnboardingSteps) {
        const double width = std::max(kDotHeight, m_flow->picture().dotWidth[size_t(step)].value(now));
        // The wide dot is white; the narrow ones are white at 15 %.
        const double emphasis = clamp01((width - 6) / 14);
        painter.fillPath(capsule(QRectF(x, y, width, kDotHeight)), white(0.15 + 0.85 * emphasis));
        x += width + kDotSpacing;
    }
}

void OnboardingView::paintEvent(QPaintEvent*) {
    const double now = nowSeconds();
    QPainter painter(this);
    paintBackground(painter, now);
    const bool changing = m_flow->previousStep() != m_flow->step();
    if (changing && m_flow->picture().stepChange.value(now) < 1) {
        const Placement leaving = placement(m_flow->previousStep(), now);
        painter.save();
        painter.setOpacity(clamp01(leaving.opacity));
        painter.setTransform(leaving.transform);
        paintStep(painter, layoutStep(m_flow->previousStep(), now), now);
        painter.restore();
    }
    const Placement entering = placement(m_flow->step(), now);
    painter.save();
    painter.setOpacity(clamp01(entering.opacity));
    painter.setTransform(entering.transform);
    paintStep(painter, layoutStep(m_flow->step(), now), now);
    painter.restore();
    paintFooter(painter, now);
    if (animating(now) && !m_ticker.isActive()) m_ticker.start();
}
