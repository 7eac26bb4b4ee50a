#pragma once

#include "Core/ASR/ASREngineProtocol.h"
#include "Core/ASR/ASRResult.h"
#include "Models/RawValue.h"

#include <QDateTime>
#include <QString>

#include <QCoro/QCoroTask>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class SerialQueue;

// The recogniser tiers of the batch road, in the order they are tried.
enum class ASRTier { primary, secondary, cloudFallback, rawFallback };

// "primary", "secondary", "cloud", "raw": what the pipeline stores and reports.
template <>
struct RawValueTable<ASRTier> {
    static constexpr std::pair<ASRTier, const char*> cases[] = {{ASRTier::primary, "primary"},
                                                                {ASRTier::secondary, "secondary"},
                                                                {ASRTier::cloudFallback, "cloud"},
                                                                {ASRTier::rawFallback, "raw"}};
};

struct TieredASRResult {
    ASRResult result;
    ASRTier tier = ASRTier::primary;
    int attempt = 1;       // 1-based position of the tier among the tiers available for the run
    double latencyMs = 0;  // the successful engine call alone
};

// Runs one batch transcription across the registered tiers: each available tier's engine in
// turn until one gives a result. A tier's first counted failure puts it on probation, its second
// blacklists it for an hour; a success forgets its failures. Failures that only say there was
// nothing to hear (no speech, no audio, empty) say nothing about the tier and are not counted.
//
// Used from the main thread; the failure bookkeeping runs on the engine's own serial queue.
class RetryEngine {
public:
    static constexpr auto kBlacklistWindow = std::chrono::hours(1);

    RetryEngine();
    ~RetryEngine();

    // Stores the engine under the tier, replacing an earlier one.
    void registerEngine(std::shared_ptr<ASREngineProtocol> engine, ASRTier tier);
    std::shared_ptr<ASREngineProtocol> engineFor(ASRTier tier) const {
        const auto found = m_engines.find(tier);
        return found == m_engines.end() ? nullptr : found->second;
    }
    // Throws ASRError::transcriptionFailed when no tier is available or every tier failed.
    QCoro::Task<TieredASRResult> transcribe(std::vector<float> samples);

    ASRTier lastTierUsed() const { return m_lastTierUsed; }
    int totalRetries() const { return m_totalRetries; }
    std::optional<QString> raceWinner() const { return m_raceWinner; }
    void setRaceWinner(std::optional<QString> winner) { m_raceWinner = std::move(winner); }

    int failureCount(ASRTier tier) const;
    bool isOnProbation(ASRTier tier) const { return m_probationList.count(tier) > 0; }
    bool isBlacklisted(ASRTier tier) const { return m_blacklist.count(tier) > 0; }

private:
    std::vector<ASRTier> getAvailableTiers();
    void recordFailure(ASRTier tier);
    void clearFailureState(ASRTier tier);

    std::map<ASRTier, QDateTime> m_probationList;
    std::map<ASRTier, QDateTime> m_blacklist;
    std::map<ASRTier, int> m_failureCounts;
    std::map<ASRTier, std::shared_ptr<ASREngineProtocol>> m_engines;
    ASRTier m_lastTierUsed = ASRTier::primary;
    int m_totalRetries = 0;
    std::optional<QString> m_raceWinner;
    std::unique_ptr<SerialQueue> m_queue;
    // Lets a run in flight notice that the engine went away while an engine call was awaited.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
