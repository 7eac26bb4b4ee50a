#include "Platform/Atspi/AtspiClient.h"

#include "Platform/Atspi/AtspiWorker.h"

#include <future>

AtspiClient& AtspiClient::shared() {
    static AtspiClient client;
    return client;
}

AtspiClient::AtspiClient() : m_worker(std::make_unique<Worker>()) { m_worker->start(); }

AtspiClient::~AtspiClient() { m_worker->stop(); }

template <typename R>
R AtspiClient::runSync(std::function<R(Worker&)> job, R fallback) {
    Worker& worker = *m_worker;
    if (!worker.running) return fallback;
    auto runJob = [&worker](const std::function<R(Worker&)>& fn) {
        worker.callTimedOut = false;
        R result = fn(worker);
        // A reply handled inside the job may have opened a direct connection to an
        // application on the default context; bring it over before anything else runs.
        if (worker.atspiReady) worker.rehomeConnections();
        return result;
    };
    if (worker.isWorkerThread()) return runJob(job);
    auto promise = std::make_shared<std::promise<R>>();
    auto future = promise->get_future();
    worker.post([promise, job = std::move(job), runJob] { promise->set_value(runJob(job)); });
    try {
        return future.get();
    } catch (const std::future_error&) {
        return fallback;  // the worker stopped before running the job (process exit)
    }
}

bool AtspiClient::isTrusted() {
    return runSync<bool>([](Worker& w) { return w.trusted(); }, false);
}

bool AtspiClient::enableAccessibility() {
    return runSync<bool>(
        [](Worker& w) {
            if (!w.ensureSession()) return false;
            return w.writeIsEnabled() && w.readIsEnabled().value_or(false);
        },
        false);
}

AtspiFocusRead AtspiClient::readFocusedField(qint64 pid) {
    return runSync<AtspiFocusRead>([pid](Worker& w) { return w.readFocusedField(pid); }, AtspiFocusRead{});
}

AtspiWindowWalk AtspiClient::walkFocusedWindow(qint64 pid, const AtspiWalkLimits& limits) {
    return runSync<AtspiWindowWalk>([pid, limits](Worker& w) { return w.walkFocusedWindow(pid, limits); },
                                    AtspiWindowWalk{});
}

std::optional<QString> AtspiClient::findAddressBarText(qint64 pid, int maxDepth, int maxChildren) {
    return runSync<std::optional<QString>>([=](Worker& w) { return w.findAddressBarText(pid, maxDepth, maxChildren); },
                                           std::nullopt);
}

bool AtspiClient::observeTextChanges(qint64 pid, std::chrono::milliseconds duration, ChangeHandler onChange,
                                     EndHandler onEnd) {
    return runSync<bool>(
        [pid, duration, onChange = std::move(onChange), onEnd = std::move(onEnd)](Worker& w) mutable {
            return w.observe(pid, duration, std::move(onChange), std::move(onEnd));
        },
        false);
}

int AtspiClient::followFocus(FocusHandler onFocus) {
    return runSync<int>(
        [onFocus = std::move(onFocus)](Worker& w) mutable {
            if (!w.trusted() || !w.focusListener) return 0;
            const int id = w.nextFollowerId++;
            w.focusFollowers.emplace(id, std::move(onFocus));
            return id;
        },
        0);
}

void AtspiClient::stopFollowingFocus(int id) {
    runSync<bool>([id](Worker& w) { return w.focusFollowers.erase(id) > 0; }, false);
}

int AtspiClient::activeObservationCount() { return m_worker->observationCount.load(); }
