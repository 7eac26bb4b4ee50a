#pragma once

#include "UI/Motion/TimedValue.h"

#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <array>
#include <functional>
#include <memory>

class AbstractAccount;

enum class OnboardingStep { welcome = 0, permissions = 1, ready = 2 };

inline constexpr std::array<OnboardingStep, 3> allOnboardingSteps{OnboardingStep::welcome, OnboardingStep::permissions,
                                                                  OnboardingStep::ready};

// The onboarding's state and decisions without any widget: which step is shown, the timed
// welcome sequence, the permission checks, sign-in and completion, and the animated values the
// view paints. Main thread only.
class OnboardingFlow : public QObject {
    Q_OBJECT
public:
    // How the desktop answers for the two permissions. Checks may take a while (they open the
    // display, the accessibility bus or an audio device), so they answer as tasks. A missing
    // check answers "not granted"; a missing request does nothing.
    struct Permissions {
        std::function<QCoro::Task<bool>()> accessibilityGranted;  // asked every 0.5 s until it holds
        std::function<void()> requestAccessibility;               // the Accessibility "Enable"
        std::function<QCoro::Task<bool>()> microphoneGranted;     // read once when the step shows
        std::function<QCoro::Task<bool>()> requestMicrophone;     // the Microphone "Enable"
        // What granted accessibility still lacks (the accessibility bus) and how to switch it
        // on; empty when nothing. Dictation works without it.
        std::function<QString()> accessibilityNotice;
        std::function<QString()> inputNeeds;  // the session's own terms (see ViewPermissions)
        std::function<QString()> inputNotice;
    };
    using SoundPlayer = std::function<void(const QString& name, const QString& ext)>;

    // Everything the view animates; values are read at a clock time.
    struct Picture {
        TimedValue videoOpacity{0};
        TimedValue heroOpacity{0};
        TimedValue heroOffset{18};
        TimedValue subtitleOpacity{0};
        TimedValue subtitleOffset{14};
        TimedValue brandOpacity{0};
        TimedValue brandOffset{16};
        TimedValue taglineOpacity{0};
        TimedValue taglineOffset{10};
        TimedValue getStartedPresence{0};  // follows showButton: fades in while rising 12 points
        TimedValue permReveal{0};          // fades in when the permissions step appears
        TimedValue readyLine1Opacity{0};
        TimedValue readyLine1Offset{14};
        TimedValue readyLine2Opacity{0};
        TimedValue readyLine2Offset{10};
        TimedValue readyButtonOpacity{0};
        TimedValue continueLit{0};        // 1 when both permissions are granted
        TimedValue accessibilityDone{0};  // "Enable" → "Done" cross-fade
        TimedValue microphoneDone{0};
        TimedValue errorPresence{0};
        TimedValue stepChange{1};  // 0 → 1 while the step content is replaced
        std::array<TimedValue, 3> dotWidth{TimedValue(20), TimedValue(6), TimedValue(6)};
    };

    // One change of the timed welcome sequence, in the order they are scheduled.
    enum class WelcomeCue { video, hero, subtitle, heroOut, brand, tagline, button };
    struct WelcomeTiming {
        double delay;
        TimedMotion motion;
        WelcomeCue cue;
    };
    static const std::array<WelcomeTiming, 7>& welcomeSchedule();

    OnboardingFlow(AbstractAccount& auth, bool skipWelcome, Permissions permissions, std::function<void()> onComplete,
                   QObject* parent = nullptr);
    ~OnboardingFlow() override;

    // The seam for tests: how sounds are played. Set before appear(). The delays wait on the
    // process clock.
    void setSoundPlayer(SoundPlayer player) { m_playSound = std::move(player); }

    OnboardingStep step() const { return m_step; }
    // The step whose content is leaving while stepChange runs (the step itself when none is).
    OnboardingStep previousStep() const { return m_previousStep; }
    bool skipWelcome() const { return m_skipWelcome; }
    bool accessibilityGranted() const { return m_accessibilityGranted; }
    bool microphoneGranted() const { return m_microphoneGranted; }
    bool bothGranted() const { return m_accessibilityGranted && m_microphoneGranted; }
    bool showButton() const { return m_showButton; }
    bool isAuthenticated() const;
    bool isSigningIn() const;
    // The account's error, kept while it fades out after being cleared.
    QString shownError() const { return m_shownError; }
    const Picture& picture() const { return m_picture; }
    // Whether anything still moves at clock time `now`.
    bool isAnimating(double now) const;

    // Texts that depend on the state.
    QString permissionsTitle() const;
    QString permissionsSubtitle() const;
    QString accessibilityDetail() const;
    QString readyLine1() const;
    QString readyLine2() const;

    // The view came on screen (each time it is shown).
    void appear();

    // Actions.
    void advance();
    void skipWelcomeSequence();
    void getStarted();
    void continueToReady();  // ignored unless both permissions are granted
    void grantAccessibility();
    void grantMicrophone();
    void signIn();  // ignored while a sign-in is in progress or once signed in
    void start();   // the signed-in start button

Q_SIGNALS:
    // Something the view shows changed or started moving.
    void changed();

private:
    void stepContentAppeared();
    void startWelcomeSequence();
    void scheduleWelcome(const WelcomeTiming& timing, const std::shared_ptr<bool>& cancelled);
    void applyWelcomeCue(WelcomeCue cue, const TimedMotion& motion);
    void cancelWelcomeTimers();
    void permissionsAppeared();
    void readyAppeared();
    void pollAccessibility();
    QCoro::Task<> checkAccessibility();
    QCoro::Task<> readMicrophoneStatus();
    QCoro::Task<> requestMicrophone();
    void setMicrophoneGranted(bool granted);
    void refreshError();
    void play(const QString& name, const QString& ext);
    double now() const;

    AbstractAccount& m_auth;
    const bool m_skipWelcome;
    Permissions m_permissions;
    std::function<void()> m_onComplete;
    SoundPlayer m_playSound;

    OnboardingStep m_step;
    OnboardingStep m_previousStep;
    bool m_accessibilityGranted = false;
    bool m_microphoneGranted = false;
    bool m_showButton = false;
    bool m_polling = false;
    bool m_contentAppeared = false;            // the current step's content has had its on-screen start
    std::shared_ptr<bool> m_welcomeCancelled;  // shared with the pending welcome timers
    QString m_shownError;
    Picture m_picture;
};
