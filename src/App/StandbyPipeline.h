#pragma once

#include "App/ShellPipeline.h"

// Stands in for the dictation pipeline until the shell is wired to it: keeps the settings file,
// the microphone choice and an idle status, so the tray, the windows and the start and stop of
// the program work end to end. A dictation request is refused with a log line.
class StandbyPipeline final : public ShellPipeline {
public:
    // Reads "settings.json" from the data folder; the defaults when it is missing or unreadable.
    static VantroseSettings loadSettings();

    explicit StandbyPipeline(VantroseSettings settings);

    DictationStatus status() const override { return DictationStatus::idle; }
    bool isPersistentMode() const override { return false; }
    bool hasTypingSuggestion() const override { return false; }
    QString currentDictationID() const override { return {}; }
    const VantroseSettings& settings() const override { return m_settings; }
    void setSettings(const VantroseSettings& settings) override;
    QCoro::Task<> setup() override;
    void teardown() override;
    void startDictation() override;
    void stopDictation() override {}
    void setMicDevice(const std::optional<QString>& uid) override;
    std::vector<AudioDeviceInfo> listInputDevices() const override;

private:
    VantroseSettings m_settings;
    std::optional<QString> m_micUID;
};
