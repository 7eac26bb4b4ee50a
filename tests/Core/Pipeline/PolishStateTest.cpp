#include "Core/Pipeline/CommandMode.h"
#include "Core/Pipeline/PolishEngine.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

TEST(PolishStateTest, StatusRawValuesAreTheCaseNames) {
    const std::vector<std::pair<QString, std::optional<PolishStatus>>> cases = {
        {"idle", PolishStatus::idle},
        {"processing", PolishStatus::processing},
        {"highlighted", PolishStatus::highlighted},
        {"completedAction", PolishStatus::completedAction},
        {"completedNA", PolishStatus::completedNA},
        {"failed", PolishStatus::failed},
        {"unhighlighted", PolishStatus::unhighlighted},
        {"done", std::nullopt},
        {"CompletedNA", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [raw, expected] : cases) {
        EXPECT_EQ(fromRawValue<PolishStatus>(raw), expected) << raw.toStdString();
        if (expected) {
            EXPECT_EQ(rawValue(*expected), raw);
        }
    }
}

TEST(PolishStateTest, StartsIdleAndEmptyAndPublishesChanges) {
    PolishEngine engine(nullptr, "http://127.0.0.1:11434", "llama3.2");
    CommandMode mode(&engine);
    EXPECT_EQ(engine.status(), PolishStatus::idle);
    EXPECT_EQ(engine.originalText(), "");
    EXPECT_EQ(engine.polishedText(), "");
    EXPECT_EQ(engine.instruction(), "");
    EXPECT_EQ(engine.processingTimeMs(), 0.0);
    EXPECT_EQ(engine.diffCount(), 0);
    EXPECT_EQ(engine.ollamaEndpoint(), "http://127.0.0.1:11434");
    EXPECT_EQ(engine.ollamaModel(), "llama3.2");
    EXPECT_FALSE(mode.isActive());
    EXPECT_EQ(mode.lastCommand(), "");
    EXPECT_EQ(mode.polishEngine(), &engine);

    QSignalSpy statusSpy(&engine, &PolishEngine::statusChanged);
    engine.setStatus(PolishStatus::processing);
    engine.setStatus(PolishStatus::processing);
    EXPECT_EQ(statusSpy.count(), 1);
    EXPECT_EQ(engine.property("status").value<PolishStatus>(), PolishStatus::processing);
}
