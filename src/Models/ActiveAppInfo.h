#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// The application that has the user's focus. On Linux `bundleId` holds the application
// identifier (Flatpak or desktop-file id, GTK application id or WM_CLASS).
struct ActiveAppInfo {
    QString name;      // "Unknown" when the application has none
    QString bundleId;  // empty when it has none
    std::int32_t pid = 0;
    std::optional<QString> url;  // a browser's address bar

    bool operator==(const ActiveAppInfo&) const = default;
};
