// Without an X display the desktop layer says so and carries on. (Run with the desktop tests:
// each test removes DISPLAY from its own process.)
#include "Foundation/Logger.h"
#include "Platform/AppDetector.h"
#include "Platform/DesktopBackend.h"
#include "Platform/KeyboardMonitor.h"
#include "Platform/ScreenCaptureEngine.h"
#include "Platform/TextInserter.h"

#include "support/TestEnvironment.h"

#include <QFile>

#include <QCoro/QCoroTask>

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

TEST_F(NoDisplayTest, TheSessionGetsTheDoNothingBackendAndItsAnswersSayUnavailable) {
    DesktopBackend& backend = DesktopBackend::current();
    EXPECT_EQ(backend.name(), "none");
    EXPECT_TRUE(backend.unavailableReason().value_or("").contains("neither WAYLAND_DISPLAY nor DISPLAY is set"));
    EXPECT_FALSE(backend.keyInputAvailable());
    EXPECT_FALSE(backend.canCaptureScreen());
    QString error;
    EXPECT_FALSE(backend.grabMonitorUnderPointer(&error).has_value());
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(backend.readSelection(0, std::chrono::milliseconds(50)).has_value());
    backend.simulateKeyPress(0, 0);  // nothing to send it to: logged, no crash

    auto tracker = backend.makeWindowTracker();
    EXPECT_FALSE(tracker->start({}));
    EXPECT_FALSE(tracker->queryNow().has_value());
    tracker->stop();
    auto keys = backend.makeKeySource();
    EXPECT_FALSE(keys->start({}, AbstractKeySource::Method::Preferred, {}));
    EXPECT_FALSE(keys->lastError().isEmpty());
}

TEST_F(NoDisplayTest, ScreenTextAnswersThatItCannotCapture) {
    const ScreenCaptureEngine::Backend system = ScreenCaptureEngine::systemBackend();
    EXPECT_FALSE(system.canCapture());
    QString error;
    EXPECT_FALSE(system.capture(&error).has_value());
    EXPECT_FALSE(error.isEmpty());
}

TEST_F(NoDisplayTest, TheX11BackendReportsAnUnreachableDisplay) {
    qputenv("DISPLAY", ":9876");  // no server there
    DesktopBackend& backend = DesktopBackend::current();
    EXPECT_EQ(backend.name(), "x11");
    EXPECT_TRUE(backend.unavailableReason().value_or("").contains("Cannot open the X11 display \":9876\""));
    EXPECT_FALSE(backend.keyInputAvailable());
    qunsetenv("DISPLAY");
}

}  // namespace
