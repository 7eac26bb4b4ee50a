#pragma once

#include <functional>

// The desktop side of the application delegate: the tray item, the windows and the overlay
// panel with its observer tick. Split out so the start-up and shut-down order can run against a
// recording fake. Main thread only.
class AbstractShellUI {
public:
    virtual ~AbstractShellUI() = default;

    virtual void setupStatusItem() = 0;
    // Starts the 0.1 s observer tick; its ticks do nothing until the overlay panel exists.
    virtual void setupPipelineObservers() = 0;
    virtual void showHubWindow() = 0;
    // Shows a new onboarding window in place of any earlier one; `onComplete` runs at most once.
    virtual void showRichOnboarding(std::function<void()> onComplete) = 0;
    // Hides the onboarding window after completion.
    virtual void orderOutOnboarding() = 0;
    // Builds the overlay panel, or keeps the one already built.
    virtual void setupOverlayWindow() = 0;
    virtual void openSettings() = 0;
    virtual void openHistory() = 0;
    // Brings the program's windows to the front.
    virtual void activate() = 0;
};
