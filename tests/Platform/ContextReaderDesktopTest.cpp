#include "Platform/ContextReader.h"

#include "Foundation/Logger.h"
#include "support/AtspiFixtureProcess.h"
#include "support/FakeAppDetector.h"
#include "support/TestEnvironment.h"

#include <QCoro/QCoroTask>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

namespace {

QString logText() {
    Logger::flush();
    QFile log(Logger::shared().logFilePath());
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
}

// A reader aimed at the fixture through a focus tracker that names it.
struct ReaderOnFixture {
    FakeAppDetector detector;
    ContextReader reader{&detector};

    explicit ReaderOnFixture(qint64 pid, const QString& bundleId = QStringLiteral("atspi_fixture")) {
        detector.frontApp = FakeAppDetector::app(QStringLiteral("Fixture"), bundleId, std::int32_t(pid));
        detector.updateActiveApp();
    }

    std::optional<TextFieldContext> readUntil(const std::function<bool(const TextFieldContext&)>& ready) {
        std::optional<TextFieldContext> field;
        waitUntil(
            [&] {
                field = QCoro::waitFor(reader.readFocusedTextField());
                return field && ready(*field);
            },
            std::chrono::seconds(20));
        return field;
    }
};

}  // namespace

TEST(ContextReaderDesktop, ReadsTextAroundASelectedEmoji) {
    const QString text = QStringLiteral("héllo 😀 wörld");
    AtspiFixtureProcess fixture(
        {QStringLiteral("--text"), text, QStringLiteral("--select"), QStringLiteral("6"), QStringLiteral("2")});
    ASSERT_TRUE(fixture.waitUntilReady());
    ReaderOnFixture r(fixture.pid());
    const auto field =
        r.readUntil([&](const TextFieldContext& f) { return f.value == text && !f.selectedText.isEmpty(); });
    ASSERT_TRUE(field.has_value());
    EXPECT_EQ(field->beforeText, QStringLiteral("héllo "));
    EXPECT_EQ(field->selectedText, QStringLiteral("😀"));
    EXPECT_EQ(field->afterText, QStringLiteral(" wörld"));
    EXPECT_EQ(field->selectionLocation, 6);
    EXPECT_EQ(field->selectionLength, 1);
    EXPECT_TRUE(field->isEditable);
    EXPECT_TRUE(field->isTextInputRole);
    EXPECT_EQ(r.reader.parseContextWords(*field), (QStringList{"héllo", "wörld"}));
    EXPECT_TRUE(
        logText().contains(QStringLiteral("ContextReader: Read context — before:6chars after:6chars editable:true")));
}

// A caret after the text with nothing selected, in a Qt field and in a GTK 3 field: a dictation
// there continues the text, so nothing may read as selected.
TEST(ContextReaderDesktop, CaretAfterTheTextReadsAsNothingSelectedInBothToolkits) {
    const QString text = QStringLiteral("Hello there you");
    for (const bool gtk : {false, true}) {
        SCOPED_TRACE(gtk ? "GTK 3" : "Qt");
        std::unique_ptr<AtspiFixtureProcess> qtField;
        std::unique_ptr<GtkEntryProcess> gtkField;
        qint64 pid = 0;
        if (gtk) {
            gtkField = std::make_unique<GtkEntryProcess>(text);
            pid = gtkField->pid();
        } else {
            qtField = std::make_unique<AtspiFixtureProcess>(
                QStringList{QStringLiteral("--text"), text, QStringLiteral("--cursor"), QStringLiteral("15")});
            ASSERT_TRUE(qtField->waitUntilReady());
            pid = qtField->pid();
        }
        ReaderOnFixture r(pid);
        const auto field = r.readUntil([&](const TextFieldContext& f) {
            // zenity selects its text when it takes the focus; End takes the caret after it.
            if (gtk && f.value == text && f.beforeText != text)
                QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("End")});
            return f.value == text && f.beforeText == text;
        });
        ASSERT_TRUE(field.has_value());
        EXPECT_EQ(field->beforeText, text);
        EXPECT_TRUE(field->afterText.isEmpty());
        EXPECT_TRUE(field->selectedText.isEmpty());
        EXPECT_EQ(field->selectionLocation, 15);
        EXPECT_EQ(field->selectionLength, 0);
    }
}

TEST(ContextReaderDesktop, RefusesPasswordFieldWithoutLoggingIt) {
    AtspiFixtureProcess fixture(
        {QStringLiteral("--password"), QStringLiteral("--text"), QStringLiteral("hunter2secret")});
    ASSERT_TRUE(fixture.waitUntilReady());
    ReaderOnFixture r(fixture.pid());
    ASSERT_TRUE(waitUntil(
        [&] {
            return logText().contains(QLatin1String("ContextReader: Focused element is a password field; not read")) ||
                   QCoro::waitFor(r.reader.readFocusedTextField()).has_value();
        },
        std::chrono::seconds(20)));
    EXPECT_FALSE(QCoro::waitFor(r.reader.readFocusedTextField()).has_value());
    EXPECT_FALSE(logText().contains(QLatin1String("hunter2secret")));
}

TEST(ContextReaderDesktop, CopyFallbackReadsTheTargetsPrimarySelection) {
    AtspiFixtureProcess fixture({QStringLiteral("--primary"), QStringLiteral("Chosen words")});
    ASSERT_TRUE(fixture.waitUntilReady());
    ReaderOnFixture r(fixture.pid());
    const auto field = r.readUntil([](const TextFieldContext& f) { return !f.selectedText.isEmpty(); });
    ASSERT_TRUE(field.has_value());
    EXPECT_EQ(field->selectedText, QStringLiteral("Chosen words"));
    EXPECT_TRUE(field->value.isEmpty());
    EXPECT_TRUE(logText().contains(
        QLatin1String("ContextReader: Got selected text via PRIMARY selection fallback (12 chars)")));
}

TEST(ContextReaderDesktop, FindsTheWindowsNames) {
    AtspiFixtureProcess fixture({QStringLiteral("--label"), QStringLiteral("Project Zephyr notes"),
                                 QStringLiteral("--label"), QStringLiteral("Owner Marguerite, see Search"),
                                 QStringLiteral("--text"), QStringLiteral("draft for Kubernetes")});
    ASSERT_TRUE(fixture.waitUntilReady());
    ReaderOnFixture r(fixture.pid());
    QStringList words;
    ASSERT_TRUE(waitUntil(
        [&] {
            words = QCoro::waitFor(r.reader.readActiveWindowText());
            return words.contains(QStringLiteral("Zephyr")) && words.contains(QStringLiteral("Kubernetes"));
        },
        std::chrono::seconds(20)))
        << words.join(' ').toStdString();
    EXPECT_TRUE(words.contains(QStringLiteral("Marguerite,")));
    EXPECT_FALSE(words.contains(QStringLiteral("notes")));
    EXPECT_FALSE(words.contains(QStringLiteral("Search")));
    EXPECT_TRUE(logText().contains(QStringLiteral("ContextReader: AT-SPI tree walk — ")));
}

TEST(ContextReaderDesktop, ElectronSwitchIsSetOncePerProcess) {
    AtspiFixtureProcess fixture({QStringLiteral("--label"), QStringLiteral("Project Zephyr")});
    ASSERT_TRUE(fixture.waitUntilReady());
    ReaderOnFixture r(fixture.pid(), QStringLiteral("com.slack.Slack"));
    QCoro::waitFor(r.reader.readActiveWindowText());
    EXPECT_TRUE(r.reader.manualAccessibilityEnabledPIDs().contains(std::int32_t(fixture.pid())));
    EXPECT_TRUE(logText().contains(
        QStringLiteral("ContextReader: Enabled org.a11y.Status.IsEnabled for PID %1").arg(fixture.pid())));
}

TEST(ContextReaderDesktop, ReportsTypedChangesOnTheMainThreadUntilTheWatchEnds) {
    AtspiFixtureProcess fixture({QStringLiteral("--text"), QStringLiteral("start")});
    ASSERT_TRUE(fixture.waitUntilReady());
    ReaderOnFixture r(fixture.pid());
    ASSERT_TRUE(r.readUntil([](const TextFieldContext& f) { return f.value == QLatin1String("start"); }));

    QStringList seen;
    bool onMain = true;
    r.reader.observeTextChanges(std::int32_t(fixture.pid()), std::chrono::seconds(2), [&](const QString& text) {
        onMain = onMain && QThread::currentThread() == qApp->thread();
        seen << text;
    });
    // The watch is set up off the main thread; type until it reports.
    ASSERT_TRUE(waitUntil(
        [&] {
            QProcess::execute(QStringLiteral("xdotool"),
                              {QStringLiteral("key"), QStringLiteral("End"), QStringLiteral("x")});
            return !seen.isEmpty();
        },
        std::chrono::seconds(20)));
    EXPECT_TRUE(seen.last().startsWith(QLatin1String("startx")));
    EXPECT_TRUE(onMain);
    ASSERT_TRUE(waitUntil(
        [] { return logText().contains(QLatin1String("ContextReader: Stopped observing text changes after 2.0s")); },
        std::chrono::seconds(20)));
}
