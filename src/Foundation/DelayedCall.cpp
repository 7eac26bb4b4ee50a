#include "Foundation/DelayedCall.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>

DelayedCall timerDelayedCall() {
    return [](double seconds, std::function<void()> fn) {
        const double ms = std::isfinite(seconds) ? std::max(0.0, seconds * 1000.0) : 0.0;
        QTimer::singleShot(std::chrono::milliseconds(static_cast<long long>(std::llround(ms))),
                           QCoreApplication::instance(), std::move(fn));
    };
}
