// Signs the program's account in to a running local service through its consent page, the way
// the program signs in, and leaves the tokens in the user defaults of the environment
// ($XDG_CONFIG_HOME) for the program started next. With --revoked the service is then told to
// end that session, as a sign-out elsewhere or a reset of the service's data would: the stored
// tokens stay, and the service refuses them. For the idle measurements of scripts/bench.sh.
// Usage: vantrose_bench_sign_in BASE_URL [--revoked]
#include "SignedInService.h"

#include "Foundation/StringShield.h"

#include "support/ConsentBrowser.h"

#include <QCoreApplication>
#include <QUrl>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const QUrl base(args.value(1));
    if (!base.isValid() || base.port() <= 0) {
        std::fprintf(stderr, "usage: vantrose_bench_sign_in BASE_URL [--revoked]\n");
        return 2;
    }
    SignedInService client;
    if (!client.signIn(base.toString(), base.port())) {
        std::fprintf(stderr, "vantrose_bench_sign_in: could not sign in at %s\n", qPrintable(base.toString()));
        return 1;
    }
    if (args.contains(QStringLiteral("--revoked"))) {
        const HttpResult revoked = httpRequest("POST", QUrl(base.toString() + StringShield::pathAuthLogout()), {},
                                               {{"Authorization", "Bearer " + client.accessToken.toLatin1()}});
        if (revoked.status != 200) {
            std::fprintf(stderr, "vantrose_bench_sign_in: the service did not end the session (%d)\n", revoked.status);
            return 1;
        }
    }
    return 0;
}
