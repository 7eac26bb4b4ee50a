// The user-defaults file as written by anyone: arbitrary bytes as the INI file, then every value
// the program reads from it: feature-flag overrides, the account's tokens and user record, the
// server base and the URL joined from it.
#include "FuzzSupport.h"

#include "Auth/AuthManager.h"
#include "Core/Cloud/NetworkSession.h"
#include "Core/Services/FeatureFlags.h"
#include "Foundation/AppPaths.h"
#include "Foundation/UserDefaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    const QString path = AppPaths::userDefaultsFile();
    QDir().mkpath(QFileInfo(path).absolutePath());
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 0;
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    UserDefaults::reloadForTesting();
    UserDefaults& defaults = UserDefaults::shared();
    // The copies of files it had to clean up: one per input would pile up.
    const QFileInfo info(path);
    for (const QString& name :
         QDir(info.absolutePath()).entryList({info.fileName() + QStringLiteral(".unreadable-*")}, QDir::Files))
        QFile::remove(info.absolutePath() + u'/' + name);

    (void)FeatureFlags::parseOverrides(defaults.value(QString::fromLatin1(FeatureFlags::storageKey)));
    AuthManager account;
    if (const auto& user = account.currentUser()) {
        const auto again = AuthManager::AuthUser::fromJson(user->toJson());
        Fuzz::check(again.has_value() && *again == *user, "stored account user round trip");
    }
    if (auto token = account.cachedAccessToken()) (void)AuthManager::isTokenExpired(*token);
    const QString base = AuthManager::serverBase();
    if (auto url = NetworkSession::joinURL(base, QStringLiteral("/api/v1/settings")))
        (void)AuthManager::mayCarryToken(*url);
    return 0;
}
