#include "RouteLimits.h"

#include "Foundation/StringShield.h"

#include <QUrl>

namespace RouteLimits {

QString authorizePath() {
    const QString path = QUrl(StringShield::googleAuthBase()).path();
    return path.isEmpty() ? QStringLiteral("/oauth/authorize") : path;
}

std::vector<RouteLimit> table() {
    const QString tooLarge = QStringLiteral("request body too large");
    return {
        {"GET", authorizePath(), 0, tooLarge},
        {"POST", authorizePath(), kConsentForm, tooLarge},
        {"GET", StringShield::pathAuthCallback(), 0, tooLarge},
        {"POST", StringShield::pathAuthToken(), kSmallJson, tooLarge},
        {"POST", StringShield::pathAuthRefresh(), kSmallJson, tooLarge},
        {"POST", StringShield::pathAuthLogout(), kSmallJson, tooLarge},
        {"GET", StringShield::pathSettings(), 0, tooLarge},
        {"PUT", StringShield::pathSettings(), kJsonBody, tooLarge, true},
        {"POST", StringShield::pathEvents(), kJsonBody, tooLarge},
        {"GET", StringShield::pathHealth(), 0, tooLarge},
        {"POST", StringShield::pathTranscribe(), kTranscribeBody, QStringLiteral("audio is longer than ten minutes"),
         true},
        {"POST", StringShield::pathFormat(), kJsonBody, tooLarge, true},
        {"GET", StringShield::pathWSTranscribe(), 0, tooLarge, false, true},
    };
}

}  // namespace RouteLimits
