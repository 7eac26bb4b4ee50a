#include "FuzzSupport.h"

#include "Models/JsonCoding.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace Fuzz {

namespace {
void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}
}  // namespace

void initialize() {
    static bool done = false;
    if (done) return;
    done = true;
    static std::unique_ptr<QTemporaryDir> home = std::make_unique<QTemporaryDir>();
    const QString root = home->path();
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"}) {
        const QString dir = root + QLatin1Char('/') + QString::fromLatin1(name);
        QDir().mkpath(dir);
        qputenv(name, dir.toLocal8Bit());
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(quiet);
    static int argc = 1;
    static char name[] = "vantrose-fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
}

bool pendingPropertiesEnabled() {
    static const bool enabled = qEnvironmentVariableIntValue("VANTROSE_FUZZ_PENDING") == 1;
    return enabled;
}

void check(bool ok, const char* property, const QString& detail) {
    if (ok) return;
    std::fprintf(stderr, "\nPROPERTY FAILED: %s\n%s\n", property, detail.toUtf8().constData());
    std::fflush(stderr);
    std::abort();
}

QStringList fields(const std::uint8_t* data, std::size_t size, int count) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QStringList parts = text.split(QChar(0x1F));
    while (parts.size() > count) {
        const QString last = parts.takeLast();
        parts.last() += QChar(0x1F) + last;
    }
    while (parts.size() < count) parts.append(QString());
    return parts;
}

QByteArray bytes(const QJsonObject& object) { return JsonCoding::toBytes(object); }

}  // namespace Fuzz

namespace Fuzz {

Rules parseRules(const QString& text) {
    Rules rules;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        if (line.isEmpty()) continue;
        const QStringList parts = line.mid(1).split(QLatin1Char('\t'));
        const QString trigger = parts.value(1);
        const QString value = parts.mid(2).join(QLatin1Char('\t'));
        switch (line.at(0).unicode()) {
        case 'r': rules.replacements.insert(trigger, value); break;
        case 's': rules.snippets.insert(trigger, value); break;
        case 'u': rules.userReplacements.append(TextReplacement{trigger, value}); break;
        case 'c': rules.customWords.append(trigger); break;
        default: break;
        }
    }
    return rules;
}

bool isPlainTrigger(const QString& trigger) {
    return !trigger.trimmed().isEmpty() && !trigger.front().isSpace() && !trigger.back().isSpace();
}

}  // namespace Fuzz
