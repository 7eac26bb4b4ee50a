#pragma once

#include "Models/ActiveAppInfo.h"

#include <functional>
#include <optional>

// Tracks the application that has the user's focus.
class AbstractAppDetector {
public:
    virtual ~AbstractAppDetector() = default;

    // Called on the main thread, asynchronously, when another application comes to the front
    // (only between start() and stop()).
    std::function<void(const ActiveAppInfo&)> onAppChanged;

    // Refreshes activeApp() and begins watching focus changes.
    virtual void start() = 0;
    virtual void stop() = 0;

    // Reads the frontmost application; when its identifier differs from the stored one the
    // record is replaced. With no frontmost application the record stays as it was. Called on
    // the main thread between events, so it must answer from what the implementation can read
    // at once (no waiting on another process).
    virtual void updateActiveApp() = 0;

    // The application last seen in front; absent until one was seen.
    const std::optional<ActiveAppInfo>& activeApp() const { return m_activeApp; }

protected:
    void setActiveApp(std::optional<ActiveAppInfo> app) { m_activeApp = std::move(app); }

private:
    std::optional<ActiveAppInfo> m_activeApp;
};
