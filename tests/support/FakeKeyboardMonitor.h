#pragma once

#include "Core/Desktop/AbstractKeyboardMonitor.h"
#include "support/FakeSupport.h"

// A key listener driven by the test. Like the real one it reports keys only while started,
// and delivers every callback on the main thread after the trigger returns.
class FakeKeyboardMonitor final : public AbstractKeyboardMonitor, private FakeLifetime {
public:
    bool startResult = true;  // what start() answers (false: no key source available)
    int startCalls = 0;
    int stopCalls = 0;
    int configurationChanges = 0;

    bool start() override;
    void stop() override;
    bool isRunning() const { return m_running; }

    // Each answers whether the key was seen (false while stopped).
    bool pressPushToTalk();
    bool releasePushToTalk();
    bool pressLock();
    bool pressPasteLastTranscript();
    bool pressCancel();
    bool typeKey(const KeyEvent& event);

protected:
    void hotkeyConfigurationChanged() override { ++configurationChanges; }

private:
    bool deliver(Callback AbstractKeyboardMonitor::*callback);

    bool m_running = false;
};
