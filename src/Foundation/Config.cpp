#include "Foundation/Config.h"

#include "Foundation/BuildConfig.h"
#include "Foundation/StringShield.h"

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

}  // namespace Config
