#include "App/UrlRedaction.h"

#include <QStringList>
#include <QUrlQuery>

QString redactedURLForLog(const QUrl& url) {
    QUrl copy = url.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo);
    QString text = copy.toString(QUrl::FullyEncoded);
    if (url.hasQuery()) {
        QStringList parts;
        // Split by hand: QUrlQuery would merge repeated keys and decode what we only print.
        for (const QString& pair : url.query(QUrl::FullyEncoded).split(QLatin1Char('&'))) {
            if (pair.isEmpty()) continue;
            const qsizetype eq = pair.indexOf(QLatin1Char('='));
            // A bare item may be a value on its own; keys are kept only where one is marked.
            parts << (eq < 0 ? QStringLiteral("<redacted>") : pair.left(eq) + QStringLiteral("=<redacted>"));
        }
        text += QLatin1Char('?') + parts.join(QLatin1Char('&'));
    }
    if (url.hasFragment()) text += QStringLiteral("#<redacted>");
    return text;
}
