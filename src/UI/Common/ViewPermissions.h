#pragma once

#include <QString>

#include <functional>

// How a view reads and asks for the two permissions. The shell provides these. The read helpers
// count an empty read as granted; an empty action does nothing.
struct ViewPermissions {
    std::function<bool()> accessibilityGranted;
    std::function<bool()> microphoneGranted;
    std::function<void()> openAccessibilitySettings;  // the desktop's own way of granting it
    std::function<void()> requestMicrophone;          // none: ask the audio engine
    std::function<QString()> accessibilityNotice;     // what granted accessibility still lacks
    // The session's own terms for the hotkey and the paste (Wayland: the portal's consent, the
    // input group): what granting means, and what a granted session still lacks. Empty on X11.
    std::function<QString()> inputNeeds;
    std::function<QString()> inputNotice;

    bool readAccessibility() const { return accessibilityGranted ? accessibilityGranted() : true; }
    bool readMicrophone() const { return microphoneGranted ? microphoneGranted() : true; }
    QString readAccessibilityNotice() const { return accessibilityNotice ? accessibilityNotice() : QString(); }
    QString readInputNeeds() const { return inputNeeds ? inputNeeds() : QString(); }
    QString readInputNotice() const { return inputNotice ? inputNotice() : QString(); }
};
