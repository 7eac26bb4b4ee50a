#include "Foundation/Config.h"

#include "Foundation/BuildConfig.h"
#include "Foundation/StringShield.h"

#include <QUrl>

namespace Config {

const QString& googleClientID() {
    static const QString value = StringShield::googleClientID();
    return value;
}

const QString& defaultServerURL() {
    static const QString value = StringShield::apiBase();
    return value;
}

const QString& urlScheme() {
    static const QString value = QStringLiteral(VANTROSE_CFG_URL_SCHEME);
    return value;
}

bool signsInWithGoogle() {
    static const bool value = isGoogleAuthorizationPage(StringShield::googleAuthBase());
    return value;
}

bool isGoogleAuthorizationPage(const QString& authorizationPage) {
    const QUrl url(authorizationPage, QUrl::StrictMode);
    const QString host = url.host().toLower();
    return url.isValid() && url.scheme() == QLatin1String("https") &&
           (host == QLatin1String("google.com") || host.endsWith(QLatin1String(".google.com")));
}

}  // namespace Config
