// vantrose-service: the local Vantrose service for this machine's user, on the loopback address.
#include "VantroseService.h"

#include "Foundation/Config.h"
#include "Foundation/StringShield.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QUrl>

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Vantrose"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The local Vantrose service (loopback only)."));
    parser.addHelpOption();
    const QUrl base(StringShield::apiBase());
    QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port to listen on (0: any free port)."),
                                  QStringLiteral("port"), QString::number(base.port(8787)));
    QCommandLineOption dataOption(
        QStringLiteral("data-dir"), QStringLiteral("Folder for the database and the token secret."),
        QStringLiteral("dir"),
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).filePath(QStringLiteral("service")));
    QCommandLineOption ollamaOption(QStringLiteral("ollama"),
                                    QStringLiteral("Ollama base address for formatting (empty: rules only)."),
                                    QStringLiteral("url"), StringShield::ollamaBase());
    QCommandLineOption portFileOption(QStringLiteral("port-file"),
                                      QStringLiteral("Write the port listened on to this file."),
                                      QStringLiteral("file"));
    parser.addOptions({portOption, dataOption, ollamaOption, portFileOption});
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        std::fprintf(stderr, "vantrose-service: --port must be a number from 0 to 65535\n");
        return 2;
    }

    ServiceOptions options;
    options.dataDir = parser.value(dataOption);
    options.port = static_cast<quint16>(port);
    options.clientId = Config::googleClientID();
    options.urlScheme = Config::urlScheme();
    if (const passwd* pw = getpwuid(getuid())) {
        options.login = QString::fromLocal8Bit(pw->pw_name);
        const QString gecos = QString::fromLocal8Bit(pw->pw_gecos ? pw->pw_gecos : "").section(QLatin1Char(','), 0, 0);
        options.displayName = gecos.trimmed();
    }
    options.speech.ollamaBase = parser.value(ollamaOption);

    try {
        VantroseService service(options);
        if (!service.listen()) {
            std::fprintf(stderr, "vantrose-service: cannot listen on 127.0.0.1:%u\n", port);
            return 1;
        }
        if (parser.isSet(portFileOption)) {
            QFile file(parser.value(portFileOption));
            if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                file.write(QByteArray::number(service.port()) + '\n');
        }
        std::fprintf(stderr, "vantrose-service: listening on %s\n", qPrintable(service.baseUrl()));
        return app.exec();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantrose-service: %s\n", e.what());
        return 1;
    }
}
