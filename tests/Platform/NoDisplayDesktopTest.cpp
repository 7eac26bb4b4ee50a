// Without an X display the desktop layer says so and carries on. (Run with the desktop tests:
// each test removes DISPLAY from its own process.)
#include "Foundation/Logger.h"
#include "Platform/AppDetector.h"
#include "Platform/KeyboardMonitor.h"
#include "Platform/TextInserter.h"

#include "support/TestEnvironment.h"

#include <QFile>

#include <qcoro/qcorotask.h>

#include <gtest/gtest.h>

namespace {

bool logContains(const QString& line) {
    Logger::flush();
    QFile f(Logger::shared().logFilePath());
    return f.open(QIODevice::ReadOnly) && QString::fromUtf8(f.readAll()).contains(line);
}

class NoDisplayTest : public ::testing::Test {
protected:
    void SetUp() override { qunsetenv("DISPLAY"); }
};

TEST_F(NoDisplayTest, KeyboardMonitorStartAnswersFalse) {
    KeyboardMonitor monitor;
    EXPECT_FALSE(monitor.start());
    EXPECT_FALSE(monitor.isRunning());
    EXPECT_TRUE(logContains("KeyboardMonitor: All methods failed"));
    monitor.stop();  // harmless
}

TEST_F(NoDisplayTest, AppDetectorKeepsNoRecord) {
    AppDetector detector;
    detector.start();
    detector.updateActiveApp();
    EXPECT_FALSE(detector.activeApp().has_value());
    detector.stop();
}

TEST_F(NoDisplayTest, PasteReportsThatNothingWasWritten) {
    TextInserter inserter;
    std::optional<PasteOutcome> outcome;
    auto run = [&]() -> QCoro::Task<> { outcome = co_await inserter.insertText("text"); };
    run();
    ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }));
    EXPECT_FALSE(outcome->success);
    EXPECT_FALSE(outcome->clipboardWritten);
    EXPECT_FALSE(outcome->pasteSimulated);
    EXPECT_FALSE(outcome->clipboardSaved);
    EXPECT_TRUE(outcome->hasPrivilegeIssues);
    EXPECT_EQ(outcome->textLength, 4);
}

}  // namespace
