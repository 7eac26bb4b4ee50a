// Replies of the vendor's server as its clients receive them, from the tests' scripted loopback
// server: the first byte picks the client (transcription, formatting, health, the settings copy,
// the token refresh), the second the HTTP status, the rest is the body. Every reply must end in
// a result or a clear failure; a settings copy that is taken must be one the decoder accepts.
#include "FuzzSupport.h"

#include "Auth/AuthManager.h"
#include "Core/ASR/CloudASREngine.h"
#include "Core/Formatting/CloudLLMFormatter.h"
#include "Core/Formatting/FormattingResult.h"
#include "Core/Services/SettingsStore.h"
#include "Foundation/StringShield.h"
#include "Foundation/UserDefaults.h"
#include "support/LoopbackVendorServer.h"

#include <QCoro/QCoroTask>

#include <exception>

namespace {

LoopbackVendorServer& server() {
    static LoopbackVendorServer* instance = [] {
        auto* s = new LoopbackVendorServer;
        s->start();
        return s;
    }();
    return *instance;
}

// An access token whose payload says it expired long ago, so asking for one refreshes it.
const QString kExpiredToken = QStringLiteral("eyJhbGciOiJub25lIn0.eyJleHAiOjF9.sig");

// QCoro::waitFor never returns when the awaited task throws, so failures are caught inside.
template <typename T>
QCoro::Task<bool> finishes(QCoro::Task<T> task) {
    try {
        (void)co_await std::move(task);
        co_return true;
    } catch (const std::exception&) {
        co_return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    if (size < 2) return 0;
    static const int statuses[] = {200, 200, 200, 201, 204, 400, 401, 403, 404, 500, 502, 503};
    const int status = statuses[data[1] % std::size(statuses)];
    const QByteArray body(reinterpret_cast<const char*>(data + 2), qsizetype(size - 2));
    LoopbackVendorServer& http = server();
    http.clearScripts();
    const QString base = http.baseUrl();

    switch (data[0] % 5) {
    case 0: {
        http.scriptAlways("POST", StringShield::pathTranscribe(),
                          LoopbackReply::text(status, body, "application/json"));
        CloudASREngine::Services services;
        services.accessToken = []() -> QCoro::Task<std::optional<QString>> { co_return QStringLiteral("token"); };
        services.deviceID = [] { return QStringLiteral("fuzz-device"); };
        services.requestTimeout = std::chrono::seconds(5);
        CloudASREngine engine(QStringLiteral("cloud"), base, services);
        (void)QCoro::waitFor(finishes(engine.transcribe(std::vector<float>(1600, 0.1f))));
        break;
    }
    case 1: {
        http.scriptAlways("POST", StringShield::pathFormat(), LoopbackReply::text(status, body, "application/json"));
        CloudLLMFormatter formatter(base);
        const AppContext context(QStringLiteral("App"), QStringLiteral("org.example.App"), std::nullopt, {}, {}, {},
                                 true, {});
        (void)QCoro::waitFor(finishes(formatter.format(QStringLiteral("so um hello"), context, VantroseSettings())));
        break;
    }
    case 2: {
        http.scriptAlways("GET", StringShield::pathHealth(), LoopbackReply::text(status, body, "application/json"));
        (void)QCoro::waitFor(CloudLLMFormatter(base).isAvailable());
        break;
    }
    case 3: {
        http.scriptAlways("GET", QStringLiteral("/settings"), LoopbackReply::text(status, body, "application/json"));
        SettingsStore::Hooks hooks;
        hooks.accessToken = [] { return std::optional<QString>(QStringLiteral("token")); };
        hooks.serverBase = [base]() -> QString { return QString(base); };
        SettingsStore store(VantroseSettings(), hooks);
        QCoro::waitFor(store.pullSettingsFromServer());
        const QByteArray encoded = Fuzz::bytes(store.settings().toJson());
        Fuzz::check(JsonCoding::decode<VantroseSettings>(encoded).ok(), "a settings copy taken from the server decodes",
                    QString::fromUtf8(encoded.left(400)));
        break;
    }
    case 4: {
        http.scriptAlways("POST", QStringLiteral("/auth/refresh"),
                          LoopbackReply::text(status, body, "application/json"));
        UserDefaults& defaults = UserDefaults::shared();
        defaults.setValue(QStringLiteral("cloudServerURL"), base);
        defaults.setValue(AuthManager::accessTokenKey, kExpiredToken);
        defaults.setValue(AuthManager::refreshTokenKey, QStringLiteral("refresh-token"));
        AuthManager account;
        const std::optional<QString> token = QCoro::waitFor(account.getAccessToken());
        if (token) Fuzz::check(!token->isEmpty(), "a refreshed access token is not empty");
        // The next formatting request must not try to refresh on this reply again.
        defaults.remove(AuthManager::accessTokenKey);
        defaults.remove(AuthManager::refreshTokenKey);
        break;
    }
    }
    return 0;
}
