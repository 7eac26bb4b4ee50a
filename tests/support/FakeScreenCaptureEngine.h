#pragma once

#include "Core/Desktop/AbstractScreenCaptureEngine.h"
#include "support/FakeSupport.h"

#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

// A screen reader that answers a scripted result after a delay. The pipeline makes a new
// engine per dictation, so the script and the call record live in a shared Script.
class FakeScreenCaptureEngine final : public AbstractScreenCaptureEngine, private FakeLifetime {
public:
    struct Script {
        ScreenCaptureResult result;
        std::chrono::milliseconds delay{0};
        std::optional<QString> failure;  // thrown (as a runtime error) after the delay
        QStringList requestedBundleIds;
        int enginesMade = 0;
    };
    using Factory = std::function<std::unique_ptr<AbstractScreenCaptureEngine>()>;

    explicit FakeScreenCaptureEngine(std::shared_ptr<Script> script = std::make_shared<Script>());

    QCoro::Task<ScreenCaptureResult> captureAndExtract(QString appBundleId) override;
    Script& script() { return *m_script; }

    // Makes a new engine over `script` at every call.
    static Factory factory(std::shared_ptr<Script> script);

private:
    std::shared_ptr<Script> m_script;
};
