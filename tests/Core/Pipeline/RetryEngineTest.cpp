#include "Core/Pipeline/RetryEngine.h"
#include "Core/ASR/ASRError.h"
#include "Foundation/Clock.h"

#include "support/AwaitTask.h"
#include "support/LogText.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <stdexcept>
#include <variant>

namespace {

// A recogniser whose answers are scripted: each call takes the next outcome (the last repeats).
class FakeEngine final : public ASREngineProtocol {
public:
    using Outcome = std::variant<ASRResult, ASRError, std::runtime_error>;

    explicit FakeEngine(QString name, std::deque<Outcome> outcomes)
        : m_name(std::move(name)),
          m_outcomes(std::move(outcomes)) {}

    static std::shared_ptr<FakeEngine> answering(const QString& text, bool serverFormatted = false) {
        return std::make_shared<FakeEngine>(text, std::deque<Outcome>{ASRResult{text, 0.8f, "en", 5, serverFormatted}});
    }
    static std::shared_ptr<FakeEngine> failing(const QString& message) {
        return std::make_shared<FakeEngine>(message, std::deque<Outcome>{ASRError::transcriptionFailed(message)});
    }

    QCoro::Task<ASRResult> transcribe(std::vector<float> samples) override {
        ++calls;
        lastSampleCount = samples.size();
        const Outcome outcome = m_outcomes.size() > 1 ? pop() : m_outcomes.front();
        if (auto* r = std::get_if<ASRResult>(&outcome)) co_return *r;
        if (auto* e = std::get_if<ASRError>(&outcome)) throw *e;
        throw std::get<std::runtime_error>(outcome);
    }
    void startStreaming(PartialResultCallback) override {}
    void feedAudioChunk(const std::vector<float>&) override {}
    QCoro::Task<ASRResult> stopStreaming() override { co_return ASRResult{}; }
    QString engineName() const override { return m_name; }
    bool supportsStreaming() const override { return false; }

    int calls = 0;
    std::size_t lastSampleCount = 0;

private:
    Outcome pop() {
        Outcome o = m_outcomes.front();
        m_outcomes.pop_front();
        return o;
    }
    QString m_name;
    std::deque<Outcome> m_outcomes;
};

}  // namespace

class RetryEngineTest : public ::testing::Test {
protected:
    void SetUp() override { Clock::setCurrent(&clock); }
    void TearDown() override { Clock::setCurrent(nullptr); }

    TieredASRResult run() { return AwaitTask::run(engine.transcribe(std::vector<float>(1600, 0.1f))); }

    // The message the run fails with; empty when it succeeds.
    QString runFailure() {
        try {
            run();
        } catch (const ASRError& e) {
            return e.localizedDescription();
        }
        return {};
    }

    ManualClock clock;
    RetryEngine engine;
};

TEST_F(RetryEngineTest, TierRawValues) {
    const std::pair<ASRTier, QString> cases[] = {{ASRTier::primary, "primary"},
                                                 {ASRTier::secondary, "secondary"},
                                                 {ASRTier::cloudFallback, "cloud"},
                                                 {ASRTier::rawFallback, "raw"}};
    for (const auto& [tier, raw] : cases) {
        EXPECT_EQ(rawValue(tier), raw);
        EXPECT_EQ(fromRawValue<ASRTier>(raw), tier);
    }
    EXPECT_EQ(fromRawValue<ASRTier>("cloudFallback"), std::nullopt);
    EXPECT_EQ(fromRawValue<ASRTier>("Primary"), std::nullopt);
}

TEST_F(RetryEngineTest, NothingRegisteredFails) {
    EXPECT_EQ(runFailure(), "Transcription failed: No ASR tiers available");
}

TEST_F(RetryEngineTest, FailedTierGoesOnProbationAndTheNextTierAnswers) {
    auto primary = FakeEngine::failing("Cloud server returned 503: busy");
    auto secondary = FakeEngine::answering("Hello there.", true);
    engine.registerEngine(primary, ASRTier::primary);
    engine.registerEngine(secondary, ASRTier::secondary);

    const TieredASRResult r = run();
    EXPECT_EQ(r.tier, ASRTier::secondary);
    EXPECT_EQ(r.attempt, 2);
    EXPECT_EQ(r.result.text, "Hello there.");
    EXPECT_TRUE(r.result.serverFormatted);
    EXPECT_GE(r.latencyMs, 0.0);
    EXPECT_EQ(secondary->lastSampleCount, 1600u);
    EXPECT_EQ(engine.lastTierUsed(), ASRTier::secondary);
    EXPECT_EQ(engine.totalRetries(), 1);
    EXPECT_TRUE(engine.isOnProbation(ASRTier::primary));
    EXPECT_EQ(engine.failureCount(ASRTier::primary), 1);

    const QString log = loggedText();
    EXPECT_TRUE(log.contains("RetryEngine: primary failed — Transcription failed: Cloud server returned 503: busy"));
    EXPECT_TRUE(log.contains("RetryEngine: primary entered probation"));
    EXPECT_TRUE(log.contains("RetryEngine: secondary succeeded in 0ms"));  // the manual clock stands still

    run();  // probation does not skip the tier
    EXPECT_EQ(primary->calls, 2);
}

TEST_F(RetryEngineTest, SecondCountedFailureBlacklistsForAnHour) {
    auto primary = FakeEngine::failing("connection refused");
    auto secondary = FakeEngine::answering("ok");
    engine.registerEngine(primary, ASRTier::primary);
    engine.registerEngine(secondary, ASRTier::secondary);

    run();
    run();
    EXPECT_TRUE(engine.isBlacklisted(ASRTier::primary));
    EXPECT_FALSE(engine.isOnProbation(ASRTier::primary));
    EXPECT_TRUE(loggedText().contains("RetryEngine: primary blacklisted for 3600.0s"));

    clock.advance(std::chrono::seconds(3599));
    TieredASRResult r = run();
    EXPECT_EQ(primary->calls, 2);  // skipped
    EXPECT_EQ(r.tier, ASRTier::secondary);
    EXPECT_EQ(r.attempt, 1);

    clock.advance(std::chrono::seconds(1));  // the hour is over: tried again, and its kept count blacklists it at once
    r = run();
    EXPECT_EQ(primary->calls, 3);
    EXPECT_EQ(r.attempt, 2);
    EXPECT_TRUE(engine.isBlacklisted(ASRTier::primary));
    EXPECT_EQ(engine.failureCount(ASRTier::primary), 3);
}

TEST_F(RetryEngineTest, SuccessForgetsTheFailures) {
    auto primary = std::make_shared<FakeEngine>(
        "flaky", std::deque<FakeEngine::Outcome>{ASRError::transcriptionFailed("timed out"),
                                                 ASRResult{"fine", 0.9f, "en", 1, false}});
    engine.registerEngine(primary, ASRTier::primary);
    engine.registerEngine(FakeEngine::answering("backup"), ASRTier::secondary);
    run();
    EXPECT_TRUE(engine.isOnProbation(ASRTier::primary));
    const TieredASRResult r = run();
    EXPECT_EQ(r.tier, ASRTier::primary);
    EXPECT_EQ(r.attempt, 1);
    EXPECT_FALSE(engine.isOnProbation(ASRTier::primary));
    EXPECT_EQ(engine.failureCount(ASRTier::primary), 0);
}

TEST_F(RetryEngineTest, NothingToHearIsNotCountedAgainstATier) {
    engine.registerEngine(FakeEngine::failing("No speech detected"), ASRTier::primary);
    engine.registerEngine(FakeEngine::failing("Cloud ASR returned: EMPTY — "), ASRTier::secondary);
    engine.registerEngine(FakeEngine::failing("NO AUDIO captured"), ASRTier::cloudFallback);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(runFailure(), "Transcription failed: All ASR tiers exhausted after 3 attempts");
    EXPECT_EQ(engine.totalRetries(), 6);
    for (ASRTier tier : {ASRTier::primary, ASRTier::secondary, ASRTier::cloudFallback}) {
        EXPECT_EQ(engine.failureCount(tier), 0) << rawValue(tier).toStdString();
        EXPECT_FALSE(engine.isOnProbation(tier));
        EXPECT_FALSE(engine.isBlacklisted(tier));
    }
}

TEST_F(RetryEngineTest, ErrorsOfAnyKindAreAbsorbedAndCounted) {
    auto odd =
        std::make_shared<FakeEngine>("odd", std::deque<FakeEngine::Outcome>{std::runtime_error("socket closed")});
    engine.registerEngine(odd, ASRTier::primary);
    EXPECT_EQ(runFailure(), "Transcription failed: All ASR tiers exhausted after 1 attempts");
    EXPECT_EQ(engine.failureCount(ASRTier::primary), 1);
    EXPECT_TRUE(loggedText().contains("RetryEngine: primary failed — socket closed"));
}

TEST_F(RetryEngineTest, ExpiredBlacklistIsClearedEvenWhenAnEarlierTierAnswers) {
    // The secondary tier gets blacklisted in two runs that the primary leaves to it.
    auto primary = std::make_shared<FakeEngine>(
        "primary", std::deque<FakeEngine::Outcome>{ASRError::transcriptionFailed("No speech detected"),
                                                   ASRError::transcriptionFailed("No speech detected"),
                                                   ASRResult{"primary text", 0.9f, "en", 1, false}});
    engine.registerEngine(primary, ASRTier::primary);
    engine.registerEngine(FakeEngine::failing("model crashed"), ASRTier::secondary);
    engine.registerEngine(FakeEngine::answering("fallback"), ASRTier::cloudFallback);
    run();
    run();
    ASSERT_TRUE(engine.isBlacklisted(ASRTier::secondary));

    clock.advance(std::chrono::seconds(3600));
    const TieredASRResult r = run();
    EXPECT_EQ(r.tier, ASRTier::primary);
    EXPECT_FALSE(engine.isBlacklisted(ASRTier::secondary));
    EXPECT_EQ(engine.failureCount(ASRTier::secondary), 2);
}

TEST_F(RetryEngineTest, LaterRegistrationReplacesTheEngine) {
    auto first = FakeEngine::answering("first");
    engine.registerEngine(first, ASRTier::primary);
    engine.registerEngine(FakeEngine::answering("second"), ASRTier::primary);
    EXPECT_EQ(run().result.text, "second");
    EXPECT_EQ(first->calls, 0);
}
