#pragma once

#include "Models/VantroseSettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <optional>

// The user's settings: the in-memory value, the settings file ("settings.json" in the data
// folder) and the signed-in user's copy on the server. Every change goes through
// updateSettings(), which writes the file, pushes the copy and tells the owner what changed.
// Main thread only.
class SettingsStore : public QObject {
    Q_OBJECT
public:
    static constexpr auto kRequestTimeout = std::chrono::seconds(5);

    struct Hooks {
        // The stored access token (default: the account's cached token).
        std::function<std::optional<QString>()> accessToken;
        // The server the settings copy lives on (default: the account server).
        std::function<QString()> serverBase;
    };

    // "settings.json" in the data folder (the folder is created).
    static QString settingsPath();
    // The settings file's value; the defaults when there is none or it cannot be used. A file
    // that cannot be decoded is kept beside it as "settings.json.bad", so the next write does
    // not destroy what the user had.
    static VantroseSettings loadSettings();

    explicit SettingsStore(VantroseSettings settings, Hooks hooks = Hooks(), QObject* parent = nullptr);
    ~SettingsStore() override;

    const VantroseSettings& settings() const { return m_settings; }

    // The one way to change the settings: assigns, writes the file, pushes to the server (when
    // signed in) and runs the change callbacks with the previous value. Every call does all of
    // this, even when the value is unchanged.
    void updateSettings(const VantroseSettings& settings);
    void updateSettings(const std::function<void(VantroseSettings&)>& change);

    // Writes the current value to the file and pushes the same bytes.
    void saveSettings();
    // Pushes in the background. At most one push is in flight; a push asked for meanwhile
    // waits, and only the newest waiting value is sent, so an older copy never lands last.
    void pushSettingsToServer(const QByteArray& data);
    // Fetches the server's copy once and applies it only when the local settings hold no
    // per-application instructions, no replacements and no custom words.
    QCoro::Task<> pullSettingsFromServer();

    // Runs after every assignment, with the previous value.
    std::function<void(const VantroseSettings& old)> onChanged;
    // Runs after an assignment that changed the hotkey bindings or the dismiss key, so they
    // can be handed to the keyboard monitor again.
    std::function<void(const VantroseSettings& current)> onHotkeysChanged;

    bool isPushInFlight() const { return m_pushInFlight; }

Q_SIGNALS:
    void settingsChanged();
    // A push finished (sent or not); for tests and shut-down.
    void pushFinished();

private:
    QCoro::Task<> runPushes();
    std::optional<QString> accessToken() const;
    QString serverBase() const;

    VantroseSettings m_settings;
    Hooks m_hooks;
    bool m_pushInFlight = false;
    std::optional<QByteArray> m_pendingPush;
};
