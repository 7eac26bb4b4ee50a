#include "support/DesktopDictation.h"

#include "Auth/AuthManager.h"
#include "Core/Services/SettingsStore.h"
#include "Foundation/UserDefaults.h"
#include "Models/VantroseSettings.h"
#include "support/LoopbackVendorServer.h"
#include "support/MicFeeder.h"
#include "support/SpeechFixture.h"
#include "support/TestEnvironment.h"

#include <QJsonDocument>
#include <QSaveFile>

#include <gtest/gtest.h>

void seedSignedInAccount(LoopbackVendorServer& server) {
    const LoopbackVendorServer::TokenPair tokens = server.issueTokens();
    UserDefaults& defaults = UserDefaults::shared();
    defaults.setValue(AuthManager::accessTokenKey, tokens.accessToken);
    defaults.setValue(AuthManager::refreshTokenKey, tokens.refreshToken);
    defaults.setValue(AuthManager::userDataKey,
                      QString::fromUtf8(QJsonDocument(server.user()).toJson(QJsonDocument::Compact)));
    defaults.setValue(QStringLiteral("cloudServerURL"), server.baseUrl());
    defaults.setValue(QStringLiteral("vantrose_cloud_server_url"), server.baseUrl());
    defaults.sync();

    VantroseSettings settings;
    settings.cloudServerURL = server.baseUrl();
    QSaveFile file(SettingsStore::settingsPath());
    if (!file.open(QIODevice::WriteOnly)) {
        ADD_FAILURE() << "cannot write " << SettingsStore::settingsPath().toStdString();
        return;
    }
    file.write(QJsonDocument(settings.toJson()).toJson());
    if (!file.commit()) ADD_FAILURE() << "cannot write " << SettingsStore::settingsPath().toStdString();
}

std::vector<float> spokenSentence(const QString& sentence) {
    const std::vector<float> speech = SpeechFixture::speak(sentence);
    if (speech.empty()) return {};
    std::vector<float> samples = SpeechFixture::silence(0.3);
    samples.insert(samples.end(), speech.begin(), speech.end());
    const std::vector<float> tail = SpeechFixture::silence(0.5);
    samples.insert(samples.end(), tail.begin(), tail.end());
    return samples;
}

QString holdKeyAndSpeak(const std::function<bool(bool down)>& key, const std::function<bool()>& listening,
                        const std::vector<float>& samples, std::chrono::milliseconds deadline) {
    if (samples.empty()) return QStringLiteral("nothing to say (flite and sox make the sentence)");
    if (!key(true)) return QStringLiteral("the key press was not sent");
    if (!waitUntil(listening, deadline)) {
        key(false);
        return QStringLiteral("the program never listened");
    }
    MicFeeder mic;
    mic.play(samples);
    const bool played = waitUntil([&] { return mic.finished(); }, deadline);
    key(false);
    return played ? QString() : QStringLiteral("the microphone did not play the sentence in time");
}
