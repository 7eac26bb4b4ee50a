#include "Core/Pipeline/RetryEngine.h"

#include "Core/ASR/ASRError.h"
#include "Core/LogCategories.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Foundation/SerialQueue.h"

#include <exception>

namespace {

// Failures that only say there was nothing to recognise.
bool isUncounted(const QString& description) {
    const QString lower = description.toLower();
    return lower.contains(QLatin1String("no speech")) || lower.contains(QLatin1String("no audio")) ||
           lower.contains(QLatin1String("empty"));
}

}  // namespace

RetryEngine::RetryEngine() : m_queue(std::make_unique<SerialQueue>(QStringLiteral("com.vantrose.retry-engine"))) {}

RetryEngine::~RetryEngine() { *m_alive = false; }

void RetryEngine::registerEngine(std::shared_ptr<ASREngineProtocol> engine, ASRTier tier) {
    m_engines[tier] = std::move(engine);
}

int RetryEngine::failureCount(ASRTier tier) const {
    const auto it = m_failureCounts.find(tier);
    return it == m_failureCounts.end() ? 0 : it->second;
}

std::vector<ASRTier> RetryEngine::getAvailableTiers() {
    const QDateTime now = Clock::current().now();
    std::vector<ASRTier> tiers;
    for (ASRTier tier : allCases<ASRTier>()) {
        if (!m_engines.count(tier)) continue;
        const auto listed = m_blacklist.find(tier);
        if (listed != m_blacklist.end()) {
            if (listed->second.msecsTo(now) < std::chrono::milliseconds(kBlacklistWindow).count()) continue;
            // The hour is over: the tier gets another chance. Its failure count stays, so one more
            // counted failure blacklists it again.
            m_queue->sync([this, tier] { m_blacklist.erase(tier); });
        }
        tiers.push_back(tier);
    }
    return tiers;
}

void RetryEngine::recordFailure(ASRTier tier) {
    m_queue->sync([this, tier] {
        const int count = ++m_failureCounts[tier];
        if (count == 1) {
            m_probationList[tier] = Clock::current().now();
            VLOG_INFO(lcRetryEngine) << QStringLiteral("%1 entered probation").arg(rawValue(tier));
        } else {
            m_blacklist[tier] = Clock::current().now();
            m_probationList.erase(tier);
            VLOG_INFO(lcRetryEngine) << QStringLiteral("%1 blacklisted for %2s")
                                            .arg(rawValue(tier), QString::number(toSeconds(kBlacklistWindow), 'f', 1));
        }
    });
}

void RetryEngine::clearFailureState(ASRTier tier) {
    m_queue->sync([this, tier] {
        m_probationList.erase(tier);
        m_blacklist.erase(tier);
        m_failureCounts[tier] = 0;
    });
}

QCoro::Task<TieredASRResult> RetryEngine::transcribe(std::vector<float> samples) {
    const std::shared_ptr<bool> alive = m_alive;
    const std::vector<ASRTier> tiers = getAvailableTiers();
    if (tiers.empty()) throw ASRError::transcriptionFailed(QStringLiteral("No ASR tiers available"));

    for (std::size_t index = 0; index < tiers.size(); ++index) {
        const ASRTier tier = tiers[index];
        const Clock::TimePoint start = Clock::current().monotonicNow();
        const auto found = m_engines.find(tier);
        if (found == m_engines.end() || !found->second) continue;
        // Held for the call, so a registration meanwhile cannot pull the engine from under it.
        const std::shared_ptr<ASREngineProtocol> engine = found->second;

        QString failure;
        std::optional<ASRResult> result;
        try {
            result = co_await engine->transcribe(samples);
        } catch (const ASRError& e) {
            failure = e.localizedDescription();
        } catch (const std::exception& e) {
            failure = QString::fromUtf8(e.what());
        } catch (...) {
            failure = QStringLiteral("Unknown error");
        }
        if (!*alive) throw ASRError::transcriptionFailed(QStringLiteral("Retry engine was released during the run"));

        if (result) {
            const double latency = Clock::current().millisecondsSince(start);
            clearFailureState(tier);
            m_lastTierUsed = tier;
            VLOG_INFO(lcRetryEngine)
                << QStringLiteral("%1 succeeded in %2ms").arg(rawValue(tier), QString::asprintf("%.0f", latency));
            co_return TieredASRResult{std::move(*result), tier, static_cast<int>(index) + 1, latency};
        }
        VLOG_WARNING(lcRetryEngine) << QStringLiteral("%1 failed — %2").arg(rawValue(tier), failure);
        if (!isUncounted(failure)) recordFailure(tier);
        ++m_totalRetries;
    }
    throw ASRError::transcriptionFailed(QStringLiteral("All ASR tiers exhausted after %1 attempts").arg(tiers.size()));
}
