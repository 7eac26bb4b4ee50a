#include "UI/Onboarding/OnboardingFlow.h"

#include "Core/Audio/SoundManager.h"
#include "Core/Cloud/AbstractAccount.h"
#include "Foundation/Clock.h"

#include <QPointer>

namespace {

// Awaits a permission callback. The callback is copied into this frame so it outlives the
// caller, which may be gone by the time the answer comes.
QCoro::Task<bool> ask(std::function<QCoro::Task<bool>()> check) {
    if (!check) co_return false;
    const bool answer = co_await check();
    co_return answer;
}

constexpr double kPollInterval = 0.5;
constexpr double kCompletionAfterSignIn = 1.0;

const TimedMotion kStepMotion = TimedMotion::spring(0.5, 0.82);
const TimedMotion kDotMotion = TimedMotion::spring(0.35, 0.7);
const TimedMotion kGrantMotion = TimedMotion::easeOut(0.4);
const TimedMotion kErrorMotion = TimedMotion::easeInOut(0.35);

}  // namespace

const std::array<OnboardingFlow::WelcomeTiming, 7>& OnboardingFlow::welcomeSchedule() {
    static const std::array<WelcomeTiming, 7> schedule{{
        {0.2, TimedMotion::easeOut(2.0), WelcomeCue::video},
        {2.0, TimedMotion::easeOut(1.0), WelcomeCue::hero},
        {4.2, TimedMotion::easeOut(0.9), WelcomeCue::subtitle},
        {7.5, TimedMotion::easeInOut(1.4), WelcomeCue::heroOut},
        {9.5, TimedMotion::easeOut(1.0), WelcomeCue::brand},
        {11.5, TimedMotion::easeOut(0.8), WelcomeCue::tagline},
        {12.5, TimedMotion::spring(0.5, 0.8), WelcomeCue::button},
    }};
    return schedule;
}

OnboardingFlow::OnboardingFlow(AbstractAccount& auth, bool skipWelcome, Permissions permissions,
                               std::function<void()> onComplete, QObject* parent)
    : QObject(parent),
      m_auth(auth),
      m_skipWelcome(skipWelcome),
      m_permissions(std::move(permissions)),
      m_onComplete(std::move(onComplete)),
      m_playSound([](const QString& name, const QString& ext) { SoundManager::playCustomSound(name, ext); }),
      m_step(skipWelcome ? OnboardingStep::permissions : OnboardingStep::welcome),
      m_previousStep(m_step),
      m_welcomeCancelled(std::make_shared<bool>(false)) {
    for (OnboardingStep s : allOnboardingSteps) m_picture.dotWidth[size_t(s)] = TimedValue(s == m_step ? 20 : 6);
    connect(&m_auth, &AbstractAccount::isLoadingChanged, this, &OnboardingFlow::changed);
    connect(&m_auth, &AbstractAccount::errorMessageChanged, this, &OnboardingFlow::refreshError);
    refreshError();
}

OnboardingFlow::~OnboardingFlow() {
    // Welcome timers that have not fired yet must not touch this object.
    *m_welcomeCancelled = true;
}

double OnboardingFlow::now() const { return toSeconds(Clock::current().monotonicNow().time_since_epoch()); }

void OnboardingFlow::play(const QString& name, const QString& ext) {
    if (m_playSound) m_playSound(name, ext);
}

bool OnboardingFlow::isAuthenticated() const { return m_auth.isAuthenticated(); }

bool OnboardingFlow::isSigningIn() const { return m_auth.isLoading(); }

bool OnboardingFlow::isAnimating(double t) const {
    const Picture& p = m_picture;
    for (const TimedValue* v : {&p.videoOpacity,     &p.heroOpacity,        &p.heroOffset,       &p.subtitleOpacity,
                                &p.subtitleOffset,   &p.brandOpacity,       &p.brandOffset,      &p.taglineOpacity,
                                &p.taglineOffset,    &p.getStartedPresence, &p.permReveal,       &p.readyLine1Opacity,
                                &p.readyLine1Offset, &p.readyLine2Opacity,  &p.readyLine2Offset, &p.readyButtonOpacity,
                                &p.continueLit,      &p.accessibilityDone,  &p.microphoneDone,   &p.errorPresence,
                                &p.stepChange,       &p.dotWidth[0],        &p.dotWidth[1],      &p.dotWidth[2]})
        if (v->isMoving(t)) return true;
    return false;
}

// ---------------------------------------------------------------- texts

QString OnboardingFlow::permissionsTitle() const {
    return m_skipWelcome ? QStringLiteral("Welcome back.") : QStringLiteral("A moment of trust");
}

QString OnboardingFlow::permissionsSubtitle() const {
    return m_skipWelcome ? QStringLiteral("After an update, check that accessibility support is still switched on.")
                         : QStringLiteral("We need two permissions to work for you.");
}

QString OnboardingFlow::accessibilityDetail() const {
    // The row has room for one short line; the hub's banner gives the whole notice.
    QString needs = m_permissions.inputNeeds ? m_permissions.inputNeeds() : QString();
    const QString lacking = m_permissions.inputNotice ? m_permissions.inputNotice() : QString();
    if (!needs.isEmpty() && (!m_accessibilityGranted || !lacking.isEmpty())) return needs;
    if (m_accessibilityGranted && m_permissions.accessibilityNotice && !m_permissions.accessibilityNotice().isEmpty())
        return QStringLiteral("No accessibility bus: no field text. Turn on assistive technologies, log in again");
    return m_skipWelcome ? QStringLiteral("Switch accessibility support on again (Enable)")
                         : QStringLiteral("Detect your hotkey and paste text into any app");
}

QString OnboardingFlow::readyLine1() const {
    return isAuthenticated() ? QStringLiteral("You’re ready.") : QStringLiteral("One last thing.");
}

QString OnboardingFlow::readyLine2() const {
    return isAuthenticated() ? QStringLiteral("Hold Right Alt and speak.")
                             : QStringLiteral("Sign in to start using Vantrose.");
}

// ---------------------------------------------------------------- appearing

void OnboardingFlow::appear() {
    if (!m_skipWelcome) play(QStringLiteral("vantrose_first_onboarding_sound"), QStringLiteral("mp3"));
    // Showing the window again must not start a second welcome sequence or a second poll.
    if (!m_contentAppeared) stepContentAppeared();
}

void OnboardingFlow::stepContentAppeared() {
    m_contentAppeared = true;
    switch (m_step) {
    case OnboardingStep::welcome: startWelcomeSequence(); break;
    case OnboardingStep::permissions: permissionsAppeared(); break;
    case OnboardingStep::ready: readyAppeared(); break;
    }
    Q_EMIT changed();
}

// ---------------------------------------------------------------- steps

void OnboardingFlow::advance() {
    play(QStringLiteral("step_forward"), QStringLiteral("wav"));
    if (m_step == OnboardingStep::ready) {
        if (m_onComplete) m_onComplete();
        return;
    }
    const double t = now();
    m_previousStep = m_step;
    m_step = m_step == OnboardingStep::welcome ? OnboardingStep::permissions : OnboardingStep::ready;
    m_picture.stepChange = TimedValue(0);
    m_picture.stepChange.animate(1, kStepMotion, t);
    for (OnboardingStep s : allOnboardingSteps)
        m_picture.dotWidth[size_t(s)].animate(s == m_step ? 20 : 6, kDotMotion, t);
    stepContentAppeared();
}

// ---------------------------------------------------------------- welcome

void OnboardingFlow::startWelcomeSequence() {
    for (const WelcomeTiming& timing : welcomeSchedule()) scheduleWelcome(timing, m_welcomeCancelled);
}

void OnboardingFlow::scheduleWelcome(const WelcomeTiming& timing, const std::shared_ptr<bool>& cancelled) {
    QPointer<OnboardingFlow> self(this);
    Clock::current().callAfter(fromSeconds(timing.delay), [self, cancelled, timing] {
        if (!self || *cancelled) return;
        self->applyWelcomeCue(timing.cue, timing.motion);
        Q_EMIT self->changed();
    });
}

void OnboardingFlow::applyWelcomeCue(WelcomeCue cue, const TimedMotion& motion) {
    const double t = now();
    Picture& p = m_picture;
    switch (cue) {
    case WelcomeCue::video: p.videoOpacity.animate(1, motion, t); break;
    case WelcomeCue::hero:
        p.heroOpacity.animate(1, motion, t);
        p.heroOffset.animate(0, motion, t);
        break;
    case WelcomeCue::subtitle:
        p.subtitleOpacity.animate(1, motion, t);
        p.subtitleOffset.animate(0, motion, t);
        break;
    case WelcomeCue::heroOut:
        p.heroOpacity.animate(0, motion, t);
        p.subtitleOpacity.animate(0, motion, t);
        break;
    case WelcomeCue::brand:
        p.brandOpacity.animate(1, motion, t);
        p.brandOffset.animate(0, motion, t);
        break;
    case WelcomeCue::tagline:
        p.taglineOpacity.animate(1, motion, t);
        p.taglineOffset.animate(0, motion, t);
        break;
    case WelcomeCue::button:
        m_showButton = true;
        p.getStartedPresence.animate(1, motion, t);
        break;
    }
}

void OnboardingFlow::cancelWelcomeTimers() {
    *m_welcomeCancelled = true;
    m_welcomeCancelled = std::make_shared<bool>(false);
}

void OnboardingFlow::skipWelcomeSequence() {
    if (m_step != OnboardingStep::welcome) return;
    cancelWelcomeTimers();
    const TimedMotion motion = TimedMotion::easeOut(0.35);
    for (WelcomeCue cue :
         {WelcomeCue::video, WelcomeCue::heroOut, WelcomeCue::brand, WelcomeCue::tagline, WelcomeCue::button})
        applyWelcomeCue(cue, motion);
    Q_EMIT changed();
}

void OnboardingFlow::getStarted() {
    if (m_step != OnboardingStep::welcome || !m_showButton) return;
    cancelWelcomeTimers();
    advance();
}

// ---------------------------------------------------------------- permissions

void OnboardingFlow::permissionsAppeared() {
    m_picture.permReveal.animate(1, TimedMotion::easeOut(0.6, 0.1), now());
    pollAccessibility();
    (void)readMicrophoneStatus();
}

void OnboardingFlow::pollAccessibility() {
    if (m_accessibilityGranted || m_polling) return;
    m_polling = true;
    QPointer<OnboardingFlow> self(this);
    Clock::current().callAfter(fromSeconds(kPollInterval), [self] {
        if (self) (void)self->checkAccessibility();
    });
}

QCoro::Task<> OnboardingFlow::checkAccessibility() {
    QPointer<OnboardingFlow> self(this);
    const bool trusted = co_await ask(m_permissions.accessibilityGranted);
    if (!self) co_return;
    m_polling = false;
    if (!trusted) {
        pollAccessibility();
        co_return;
    }
    m_accessibilityGranted = true;
    const double t = now();
    m_picture.accessibilityDone.animate(1, kGrantMotion, t);
    m_picture.continueLit.animate(bothGranted() ? 1 : 0, kGrantMotion, t);
    play(QStringLiteral("complete"), QStringLiteral("wav"));
    Q_EMIT changed();
}

void OnboardingFlow::grantAccessibility() {
    // The poll notices the grant.
    if (m_permissions.requestAccessibility) m_permissions.requestAccessibility();
}

QCoro::Task<> OnboardingFlow::readMicrophoneStatus() {
    QPointer<OnboardingFlow> self(this);
    const bool granted = co_await ask(m_permissions.microphoneGranted);
    if (!self || !granted) co_return;
    setMicrophoneGranted(true);
}

void OnboardingFlow::grantMicrophone() { (void)requestMicrophone(); }

QCoro::Task<> OnboardingFlow::requestMicrophone() {
    QPointer<OnboardingFlow> self(this);
    const bool granted = co_await ask(m_permissions.requestMicrophone);
    if (!self) co_return;
    setMicrophoneGranted(granted);
    if (granted) play(QStringLiteral("complete"), QStringLiteral("wav"));
}

void OnboardingFlow::setMicrophoneGranted(bool granted) {
    m_microphoneGranted = granted;
    const double t = now();
    m_picture.microphoneDone.animate(granted ? 1 : 0, kGrantMotion, t);
    m_picture.continueLit.animate(bothGranted() ? 1 : 0, kGrantMotion, t);
    Q_EMIT changed();
}

void OnboardingFlow::continueToReady() {
    if (m_step != OnboardingStep::permissions || !bothGranted()) return;
    advance();
}

// ---------------------------------------------------------------- ready

void OnboardingFlow::readyAppeared() {
    const double t = now();
    m_picture.readyLine1Opacity.animate(1, TimedMotion::easeOut(0.9, 0.2), t);
    m_picture.readyLine1Offset.animate(0, TimedMotion::easeOut(0.9, 0.2), t);
    m_picture.readyLine2Opacity.animate(1, TimedMotion::easeOut(0.8, 0.6), t);
    m_picture.readyLine2Offset.animate(0, TimedMotion::easeOut(0.8, 0.6), t);
    m_picture.readyButtonOpacity.animate(1, TimedMotion::easeOut(0.6, 1.2), t);
    // Only later changes count, not the state the step opened with.
    connect(&m_auth, &AbstractAccount::isAuthenticatedChanged, this, [this](bool authenticated) {
        Q_EMIT changed();
        if (!authenticated) return;
        play(QStringLiteral("complete"), QStringLiteral("wav"));
        QPointer<OnboardingFlow> self(this);
        Clock::current().callAfter(fromSeconds(kCompletionAfterSignIn), [self] {
            if (self && self->m_onComplete) self->m_onComplete();
        });
    });
}

void OnboardingFlow::signIn() {
    if (m_step != OnboardingStep::ready || m_auth.isLoading() || m_auth.isAuthenticated()) return;
    m_auth.signInWithGoogle();
}

void OnboardingFlow::start() {
    if (m_step != OnboardingStep::ready || !m_auth.isAuthenticated()) return;
    play(QStringLiteral("complete"), QStringLiteral("wav"));
    if (m_onComplete) m_onComplete();
}

void OnboardingFlow::refreshError() {
    const bool present = m_auth.hasErrorMessage();
    // A cleared message keeps its text while it fades out.
    if (present) m_shownError = m_auth.errorMessage();
    if (m_picture.errorPresence.target() != (present ? 1.0 : 0.0))
        m_picture.errorPresence.animate(present ? 1 : 0, kErrorMotion, now());
    Q_EMIT changed();
}
