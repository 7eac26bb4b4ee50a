#include "App/StandbyPipeline.h"

#include "Core/AppPaths.h"
#include "Core/Logger.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

namespace {
QString settingsPath() {
    return AppPaths::dataDir() + QStringLiteral("/settings.json");
}
}  // namespace

VantroseSettings StandbyPipeline::loadSettings() {
    QFile file(settingsPath());
    if (!file.open(QIODevice::ReadOnly)) return VantroseSettings();
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        VLOG("Pipeline: Settings file is not valid JSON; using defaults");
        return VantroseSettings();
    }
    auto decoded = VantroseSettings::fromJson(doc.object());
    if (!decoded) {
        VLOG("Pipeline: Settings file could not be decoded; using defaults");
        return VantroseSettings();
    }
    VLOG("Pipeline: Loaded settings from disk");
    return std::move(decoded).value();
}

StandbyPipeline::StandbyPipeline(VantroseSettings settings)
    : m_settings(std::move(settings)), m_micUID(m_settings.selectedMicUID) {}

void StandbyPipeline::setSettings(const VantroseSettings& settings) {
    if (settings == m_settings) return;
    m_settings = settings;
    QSaveFile file(settingsPath());
    if (!file.open(QIODevice::WriteOnly)
        || file.write(QJsonDocument(m_settings.toJson()).toJson()) < 0 || !file.commit())
        VLOG("Pipeline: Failed to save settings: " + file.errorString());
}

QCoro::Task<> StandbyPipeline::setup() {
    VLOG("Pipeline: Setup complete (the dictation engine is not part of this build)");
    co_return;
}

void StandbyPipeline::teardown() {
    VLOG("Pipeline: Teardown complete");
}

void StandbyPipeline::startDictation() {
    VLOG("Pipeline: Cannot start — the dictation engine is not part of this build");
}

void StandbyPipeline::setMicDevice(const std::optional<QString>& uid) {
    m_micUID = uid;
    if (!uid) {
        VLOG("Pipeline: Microphone → system default");
        return;
    }
    QString name = *uid;
    for (const auto& device : listInputDevices())
        if (device.uid == *uid) name = device.name;
    VLOG("Pipeline: Microphone → " + name);
}

std::vector<AudioDeviceInfo> StandbyPipeline::listInputDevices() const {
    return AudioEngine::listInputDevices();
}
