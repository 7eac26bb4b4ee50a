#pragma once

#include "support/LoopbackVendorServer.h"

#include <QString>

// A loopback address where nothing listens any more: a server is started and stopped again.
inline QString closedLoopbackURL() {
    LoopbackVendorServer gone;
    if (!gone.start()) return QStringLiteral("http://127.0.0.1:9");
    const QString url = gone.baseUrl();
    gone.stop();
    return url;
}
