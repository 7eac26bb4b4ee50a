#include "support/FakeAppDetector.h"

ActiveAppInfo FakeAppDetector::app(const QString& name, const QString& bundleId, std::int32_t pid,
                                   std::optional<QString> url) {
    return ActiveAppInfo{name, bundleId, pid, std::move(url)};
}

void FakeAppDetector::start() {
    ++startCalls;
    updateActiveApp();
    m_running = true;
}

void FakeAppDetector::stop() {
    ++stopCalls;
    m_running = false;
}

void FakeAppDetector::updateActiveApp() {
    ++updateCalls;
    if (!frontApp) return;
    if (!activeApp() || activeApp()->bundleId != frontApp->bundleId) setActiveApp(frontApp);
}

void FakeAppDetector::activate(const ActiveAppInfo& app) {
    frontApp = app;
    if (!m_running) return;
    updateActiveApp();
    post([this, app] {
        if (onAppChanged) onAppChanged(app);
    });
}
