#pragma once

#include "UI/Common/ViewPermissions.h"
#include "UI/Onboarding/OnboardingFlow.h"

#include <functional>

class QWidget;

// Builds the views the shell hosts in its windows. The shell decides when a window is built and
// how it sits on screen; the factory decides what fills it. The application's factory builds the
// real views over the dictation pipeline; a test hands the shell its own. Each call answers a
// new parentless widget the shell takes ownership of. Main thread only.
class AbstractShellViewFactory {
public:
    virtual ~AbstractShellViewFactory() = default;

    virtual QWidget* makeHubView(ViewPermissions permissions) = 0;
    // `onComplete` runs when the user finishes; the shell makes sure it counts once.
    virtual QWidget* makeOnboardingView(bool skipWelcome, OnboardingFlow::Permissions permissions,
                                        std::function<void()> onComplete) = 0;
    virtual QWidget* makeSettingsView(ViewPermissions permissions) = 0;
    virtual QWidget* makeHistoryView() = 0;
    // The pill, painted on the transparent overlay panel.
    virtual QWidget* makeOverlayView() = 0;
};
