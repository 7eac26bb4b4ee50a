#pragma once

#include "Core/Desktop/AbstractAppDetector.h"
#include "support/FakeSupport.h"

// A focus tracker over a desktop the test describes. `frontApp` is what the desktop shows;
// updateActiveApp() applies the tracker's rule to it; activate() plays a focus change.
class FakeAppDetector final : public AbstractAppDetector, private FakeLifetime {
public:
    std::optional<ActiveAppInfo> frontApp;
    int startCalls = 0;
    int stopCalls = 0;
    int updateCalls = 0;

    void start() override;
    void stop() override;
    void updateActiveApp() override;
    bool isRunning() const { return m_running; }

    // Brings `app` to the front. While running, the record follows and onAppChanged is
    // called on the main thread.
    void activate(const ActiveAppInfo& app);

    static ActiveAppInfo app(const QString& name, const QString& bundleId, std::int32_t pid = 4242,
                             std::optional<QString> url = std::nullopt);

private:
    bool m_running = false;
};
