#pragma once

#include <QCoro/QCoroTask>
#include <QString>

// The two permissions the program needs to dictate. On Linux "Accessibility" means the session
// lets the program hear the global hotkey and send the paste chord: XInput2 and XTest on X11; on
// Wayland a hotkey source (the portal's shortcuts, the keyboard devices, XWayland), with what it
// lacks in the session's own terms (inputNeeds, inputNotice); "Microphone" means an input device
// opens. The accessibility bus only adds the text around the cursor, so its absence
// never stops dictation: it is reported as a notice beside the granted permission.
struct PermissionSnapshot {
    bool accessibility = false;
    bool microphone = false;
    bool allGranted() const { return accessibility && microphone; }
};

class AbstractPermissionChecker {
public:
    virtual ~AbstractPermissionChecker() = default;
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
    // The session's own terms for the hotkey and the paste, as the latest check found them: what
    // granting means here (one line), and what a granted session still lacks. Empty on X11.
    virtual QString inputNeeds() { return {}; }
    virtual QString inputNotice() { return {}; }
};

// The real checks of this desktop.
class DesktopPermissionChecker final : public AbstractPermissionChecker {
public:
    QCoro::Task<PermissionSnapshot> check() override;
    bool lastKnownAccessibility() override;
    void requestAccessibility() override;
    QCoro::Task<bool> checkAccessibility() override;
    QString accessibilityNotice() override;
    QString inputNeeds() override;
    QString inputNotice() override;

    static const QString noAccessibilityBusNotice;

    // Blocking parts, exposed for the desktop tests.
    static bool x11InputAvailable();  // the session back-end's keyInputAvailable()
    static bool accessibilityBusAvailable();

private:
    bool m_lastAccessibility = false;
    bool m_lastBus = true;
    QString m_inputNeeds, m_inputNotice;
    bool m_refreshing = false;
};
