#pragma once

#include <QString>
#include <QUrl>

// The sign-in callback carries the authorisation code (and the OAuth state) in its query. Logs
// keep the scheme, host, path and query keys, with every query value and any fragment replaced
// by "<redacted>", so a log file never holds a code that could still be exchanged.
QString redactedURLForLog(const QUrl& url);
