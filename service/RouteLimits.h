#pragma once

#include "ServiceReplies.h"

#include <QByteArray>
#include <QString>

#include <vector>

// What one route of the service may be sent. The connection guard answers a request past its
// route's cap before the body is read; the routes keep their own checks behind it.
struct RouteLimit {
    QByteArray method;  // as on the request line: "GET", "POST", "PUT"
    QString path;
    qsizetype maxBody = 0;  // bytes of body, after any chunked framing is taken off
    QString tooLargeDetail = QStringLiteral("request body too large");
    // The route answers 401 without a live bearer before it looks at the body, so the guard
    // reads no body without one either.
    bool bearerFirst = false;
    bool webSocket = false;  // the streaming route: a WebSocket upgrade, no body
};

namespace RouteLimits {

// Ten minutes of 16 kHz 16-bit mono WAV (19.2 MB) as Base64 (25.6 MB) in a JSON object with its
// context, with room to spare.
inline constexpr qsizetype kTranscribeBody = qsizetype{27} * 1024 * 1024;
// A settings copy, a batch of analytics events, a text to format.
inline constexpr qsizetype kJsonBody = ServiceReplies::kMaxJsonBody;
// The consent page's form: one nonce.
inline constexpr qsizetype kConsentForm = qsizetype{4} * 1024;
// A code exchange, a refresh token, a sign-out.
inline constexpr qsizetype kSmallJson = qsizetype{16} * 1024;

// The path of the consent page (and of its form's post).
QString authorizePath();

// Every route the service answers, with its cap. A request for anything else may carry no body.
std::vector<RouteLimit> table();

}  // namespace RouteLimits
