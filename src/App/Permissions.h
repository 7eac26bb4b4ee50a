#pragma once

#include <QCoro/QCoroTask>
#include <QString>

// The two permissions the program needs to dictate. On Linux "Accessibility" means an X11
// session offering XInput2 (global hotkeys) and XTest (the paste chord); "Microphone" means an
// input device opens. The accessibility bus only adds the text around the cursor, so its absence
// never stops dictation: it is reported as a notice beside the granted permission.
struct PermissionSnapshot {
    bool accessibility = false;
    bool microphone = false;
    bool allGranted() const { return accessibility && microphone; }
};

class PermissionChecker {
public:
    virtual ~PermissionChecker() = default;
    // Checks both, off the main thread where a check blocks.
    virtual QCoro::Task<PermissionSnapshot> check() = 0;
    // The accessibility answer of the latest check (false before any); the menu shows it without
    // waiting. Each call also starts a fresh check in the background.
    virtual bool lastKnownAccessibility() = 0;
    // Asks for the accessibility permission: switches the accessibility bus on.
    virtual void requestAccessibility() = 0;
    // Checks the accessibility side alone (onboarding polls it), off the main thread.
    virtual QCoro::Task<bool> checkAccessibility() = 0;
    // What the latest check found missing that dictation can do without (the accessibility bus),
    // with how to switch it on; empty when nothing is.
    virtual QString accessibilityNotice() { return {}; }
};

// The real checks of this desktop.
class DesktopPermissionChecker final : public PermissionChecker {
public:
    QCoro::Task<PermissionSnapshot> check() override;
    bool lastKnownAccessibility() override;
    void requestAccessibility() override;
    QCoro::Task<bool> checkAccessibility() override;
    QString accessibilityNotice() override;

    static const QString noAccessibilityBusNotice;

    // Blocking parts, exposed for the desktop tests.
    static bool x11InputAvailable();  // XInput2 >= 2.0 and XTest on $DISPLAY
    static bool accessibilityBusAvailable();

private:
    bool m_lastAccessibility = false;
    bool m_lastBus = true;
    bool m_refreshing = false;
};
