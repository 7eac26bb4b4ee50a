#include "support/FakeKeyboardMonitor.h"

bool FakeKeyboardMonitor::start() {
    ++startCalls;
    if (startResult) m_running = true;
    return startResult;
}

void FakeKeyboardMonitor::stop() {
    ++stopCalls;
    m_running = false;
}

bool FakeKeyboardMonitor::deliver(Callback AbstractKeyboardMonitor::*callback) {
    if (!m_running) return false;
    // The handler is looked up when the call runs, as a real listener reads it on delivery.
    post([this, callback] {
        if (const Callback& handler = this->*callback) handler();
    });
    return true;
}

bool FakeKeyboardMonitor::pressPushToTalk() { return deliver(&AbstractKeyboardMonitor::onPushToTalkDown); }
bool FakeKeyboardMonitor::releasePushToTalk() { return deliver(&AbstractKeyboardMonitor::onPushToTalkUp); }
bool FakeKeyboardMonitor::pressLock() { return deliver(&AbstractKeyboardMonitor::onLock); }
bool FakeKeyboardMonitor::pressPasteLastTranscript() {
    return deliver(&AbstractKeyboardMonitor::onPasteLastTranscript);
}
bool FakeKeyboardMonitor::pressCancel() { return deliver(&AbstractKeyboardMonitor::onDismiss); }

bool FakeKeyboardMonitor::typeKey(const KeyEvent& event) {
    if (!m_running) return false;
    post([this, event] {
        if (onKeyDown) onKeyDown(event);
    });
    return true;
}
