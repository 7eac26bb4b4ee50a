#include "Core/Services/SettingsStore.h"

#include "Core/Cloud/AccountAccess.h"
#include "Core/Cloud/NetworkSession.h"
#include "Core/LogCategories.h"
#include "Foundation/AppPaths.h"
#include "Foundation/Logger.h"
#include "Foundation/StringShield.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QPointer>
#include <QSaveFile>
#include <QStringDecoder>

namespace {

QString badFilePath() { return SettingsStore::settingsPath() + QStringLiteral(".bad"); }

// Moves an undecodable settings file aside so the defaults never overwrite it.
void keepBadFile(const QString& path, const QString& reason) {
    const QString bad = badFilePath();
    QFile::remove(bad);
    if (QFile::rename(path, bad)) {
        VLOG_WARNING(lcPipeline) << "Settings file could not be decoded (" << reason
                                 << "); kept as settings.json.bad, using defaults";
    } else {
        VLOG_WARNING(lcPipeline) << "Settings file could not be decoded (" << reason
                                 << ") and could not be kept as settings.json.bad; using defaults";
    }
}

bool isUtf8(const QByteArray& data) {
    // Stateless: a sequence cut off at the end is an error, not something kept for a next call.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    // decode() only describes the work; converting the result to a string does it.
    const QString decoded = decoder.decode(data);
    return !decoder.hasError();
}

}  // namespace

QString SettingsStore::settingsPath() {
    const QString dir = AppPaths::dataDir();
    QDir().mkpath(dir);
    return dir + QStringLiteral("/settings.json");
}

VantroseSettings SettingsStore::loadSettings() {
    const QString path = settingsPath();
    QFile file(path);
    if (!file.exists()) return VantroseSettings();
    if (!file.open(QIODevice::ReadOnly)) {
        VLOG_WARNING(lcPipeline) << "Settings file could not be read (" << file.errorString() << "); using defaults";
        return VantroseSettings();
    }
    const QByteArray data = file.readAll();
    file.close();

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(data, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        keepBadFile(path, parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                                       : QStringLiteral("not a JSON object"));
        return VantroseSettings();
    }
    JsonResult<VantroseSettings> decoded = VantroseSettings::fromJson(document.object());
    if (!decoded) {
        keepBadFile(path, decoded.error().toString());
        return VantroseSettings();
    }
    VLOG_INFO(lcPipeline) << "Loaded settings from disk";
    return std::move(decoded).value();
}

SettingsStore::SettingsStore(VantroseSettings settings, Hooks hooks, QObject* parent)
    : QObject(parent),
      m_settings(std::move(settings)),
      m_hooks(std::move(hooks)) {}

SettingsStore::~SettingsStore() = default;

std::optional<QString> SettingsStore::accessToken() const {
    return m_hooks.accessToken ? m_hooks.accessToken() : AccountAccess::cachedAccessToken();
}

QString SettingsStore::serverBase() const {
    return m_hooks.serverBase ? m_hooks.serverBase() : AccountAccess::serverBase();
}

void SettingsStore::updateSettings(const VantroseSettings& settings) {
    const VantroseSettings old = m_settings;
    m_settings = settings;
    saveSettings();
    if (m_settings.hotkeys != old.hotkeys || m_settings.dismissKeyCode != old.dismissKeyCode) {
        if (onHotkeysChanged) onHotkeysChanged(m_settings);
    }
    if (onChanged) onChanged(old);
    Q_EMIT settingsChanged();
}

void SettingsStore::updateSettings(const std::function<void(VantroseSettings&)>& change) {
    VantroseSettings next = m_settings;
    if (change) change(next);
    updateSettings(next);
}

void SettingsStore::saveSettings() {
    const QByteArray data = QJsonDocument(m_settings.toJson()).toJson(QJsonDocument::Compact);
    QSaveFile file(settingsPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        VLOG_WARNING(lcPipeline) << "Failed to write settings — " << file.errorString();
        file.cancelWriting();
    }
    pushSettingsToServer(data);
}

void SettingsStore::pushSettingsToServer(const QByteArray& data) {
    if (!accessToken()) return;
    m_pendingPush = data;
    if (!m_pushInFlight) runPushes();
}

QCoro::Task<> SettingsStore::runPushes() {
    QPointer<SettingsStore> self(this);
    m_pushInFlight = true;
    while (m_pendingPush) {
        const QByteArray data = *m_pendingPush;
        m_pendingPush.reset();
        const std::optional<QString> token = accessToken();
        const std::optional<QUrl> url = NetworkSession::joinURL(serverBase(), StringShield::pathSettings());
        if (!token || !url || !AccountAccess::mayCarryToken(*url)) continue;

        QNetworkRequest request(*url);
        request.setTransferTimeout(NetworkSession::transferTimeout(kRequestTimeout));
        request.setRawHeader(StringShield::hdrContentType().toUtf8(), StringShield::mimeJSON().toUtf8());
        request.setRawHeader(StringShield::hdrAuth().toUtf8(), (StringShield::hdrBearer() + *token).toUtf8());
        const QByteArray body = QByteArrayLiteral("{\"settings\":") + (isUtf8(data) ? data : QByteArrayLiteral("{}")) +
                                QByteArrayLiteral("}");
        const HttpResponse response =
            co_await NetworkSession::perform(NetworkSession::platformSession(), request, "PUT", body, kRequestTimeout);
        if (!self) co_return;
        if (!response.received)
            VLOG_WARNING(lcPipeline) << "Settings sync push failed — " << response.errorString;
        else if (response.status == 200)
            VLOG_INFO(lcPipeline) << "Settings synced to server";
        Q_EMIT pushFinished();
    }
    m_pushInFlight = false;
}

QCoro::Task<> SettingsStore::pullSettingsFromServer() {
    QPointer<SettingsStore> self(this);
    const std::optional<QString> token = accessToken();
    if (!token) co_return;
    const std::optional<QUrl> url = NetworkSession::joinURL(serverBase(), StringShield::pathSettings());
    if (!url || !AccountAccess::mayCarryToken(*url)) co_return;

    QNetworkRequest request(*url);
    request.setTransferTimeout(NetworkSession::transferTimeout(kRequestTimeout));
    request.setRawHeader(StringShield::hdrAuth().toUtf8(), (StringShield::hdrBearer() + *token).toUtf8());
    const HttpResponse response =
        co_await NetworkSession::perform(NetworkSession::platformSession(), request, "GET", {}, kRequestTimeout);
    if (!self || !response.received || response.status != 200) co_return;

    const QJsonDocument document = QJsonDocument::fromJson(response.body);
    const QJsonValue remote = document.isObject() ? document.object().value(QStringLiteral("settings")) : QJsonValue();
    std::optional<VantroseSettings> decoded;
    if (remote.isObject()) decoded = VantroseSettings::fromJson(remote).toOptional();
    if (!decoded) {
        VLOG_INFO(lcPipeline) << "No remote settings found (new user)";
        co_return;
    }
    if (!m_settings.appInstructions.isEmpty() || !m_settings.textReplacements.isEmpty() ||
        !m_settings.customWords.isEmpty()) {
        VLOG_INFO(lcPipeline) << "Local settings exist, skipping server pull";
        co_return;
    }
    const qsizetype instructions = decoded->appInstructions.size();
    const qsizetype replacements = decoded->textReplacements.size();
    updateSettings(*decoded);
    VLOG_INFO(lcPipeline) << QStringLiteral("Restored settings from server (%1 instructions, %2 replacements)")
                                 .arg(instructions)
                                 .arg(replacements);
}
