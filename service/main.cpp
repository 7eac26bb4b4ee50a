// vantrose-service: the local Vantrose service for this machine's user, on the loopback address.
#include "ServiceLog.h"
#include "VantroseService.h"

#include "Foundation/Config.h"
#include "Foundation/StringShield.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace {

// The log file's cap; with the one older file kept beside it, the log holds at most twice this.
constexpr qint64 kLogFileMaxBytes = qint64{2} * 1024 * 1024;
// How often what others wrote to standard error is checked against the cap.
constexpr auto kLogSizeCheck = std::chrono::seconds(30);

}  // namespace

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
    QCommandLineOption logOption(
        QStringLiteral("log-file"),
        QStringLiteral("Write the log, and everything printed to standard error, to this file (0600, kept "
                       "under 2 MiB, with one older file beside it as <file>.1)."),
        QStringLiteral("file"));
    parser.addOptions({portOption, dataOption, ollamaOption, portFileOption, logOption});
    parser.process(app);

    ServiceLog log;
    QTimer logCheck;
    if (parser.isSet(logOption)) {
        QString error;
        if (!log.open(parser.value(logOption), kLogFileMaxBytes, true, &error)) {
            std::fprintf(stderr, "vantrose-service: cannot open the log file: %s\n", qPrintable(error));
            return 2;
        }
        QObject::connect(&logCheck, &QTimer::timeout, [&log] { log.rotateIfFull(); });
        logCheck.start(kLogSizeCheck);
    }

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        log.write(QStringLiteral("vantrose-service: --port must be a number from 0 to 65535"));
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
    options.log = [&log](const QString& line) { log.write(line); };

    try {
        VantroseService service(options);
        if (!service.listen()) {
            log.write(QStringLiteral("vantrose-service: cannot listen on 127.0.0.1:%1").arg(port));
            return 1;
        }
        if (parser.isSet(portFileOption)) {
            QFile file(parser.value(portFileOption));
            if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                file.write(QByteArray::number(service.port()) + '\n');
        }
        log.write(QStringLiteral("vantrose-service: listening on %1").arg(service.baseUrl()));
        return app.exec();
    } catch (const std::exception& e) {
        log.write(QStringLiteral("vantrose-service: %1").arg(QString::fromLocal8Bit(e.what())));
        return 1;
    }
}
