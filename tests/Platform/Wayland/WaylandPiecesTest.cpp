// The Wayland back-end's pieces that need no compositor: the clipboard's formats, how a process
// or an app id is named, a connection to nothing, and the one report of a compositor gone.
#include "Platform/Wayland/DataControlClipboard.h"
#include "Platform/Wayland/WaylandAppIdentity.h"
#include "Platform/Wayland/WaylandConnection.h"
#include "Platform/Wayland/WaylandConnectionGuard.h"

#include "support/LogText.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace std::chrono_literals;

std::vector<QByteArray> typesOf(const std::vector<ClipboardFormat>& formats) {
    std::vector<QByteArray> types;
    types.reserve(formats.size());
    for (const auto& f : formats) types.push_back(f.mimeType);
    return types;
}

TEST(DataControlClipboardFormatsTest, TheTextIsOfferedUnderItsNamesAndMarkedConcealed) {
    struct Case {
        QString text;
        std::optional<QString> html;
        std::vector<QByteArray> types;
    };
    const std::vector<QByteArray> utf8 = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "TEXT"};
    auto with = [&utf8](std::vector<QByteArray> more) {
        std::vector<QByteArray> all = utf8;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    const Case cases[] = {
        {"café", std::nullopt, with({"STRING", PasteClipboard::kConcealedFormat})},  // fits Latin-1
        {"日本語", std::nullopt, with({PasteClipboard::kConcealedFormat})},          // does not
        {"a", QStringLiteral("<b>a</b>"), with({"STRING", "text/html", PasteClipboard::kConcealedFormat})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        const auto formats = DataControlClipboard::textFormats(c.text, c.html);
        EXPECT_EQ(typesOf(formats), c.types);
        for (const auto& f : formats) {
            if (f.mimeType == "STRING")
                EXPECT_EQ(f.data, c.text.toLatin1());
            else if (f.mimeType == PasteClipboard::kConcealedFormat)
                EXPECT_EQ(f.data, "secret");
            else if (f.mimeType == "text/html")
                EXPECT_EQ(f.data, c.html->toUtf8());
            else
                EXPECT_EQ(f.data, c.text.toUtf8());
        }
        const auto saved = DataControlClipboard::describe(formats, true);
        EXPECT_EQ(saved.plainText, c.text);
        EXPECT_TRUE(saved.concealed);
    }
}

TEST(DataControlClipboardFormatsTest, WhatASavedClipboardSaysAboutItself) {
    struct Case {
        const char* name;
        std::vector<ClipboardFormat> formats;
        std::optional<QString> plainText;
        bool concealed;
    };
    const Case cases[] = {
        {"nothing", {}, std::nullopt, false},
        {"an image only", {{"image/png", "\x89PNG"}}, std::nullopt, false},
        {"UTF-8 text wins over Latin-1",
         {{"STRING", "caf\xe9"}, {"UTF8_STRING", "café"}},
         QStringLiteral("café"),
         false},
        {"Latin-1 text alone", {{"STRING", "caf\xe9"}}, QStringLiteral("café"), false},
        {"marked secret by a password manager",
         {{"text/plain", "pw"}, {"x-kde-passwordManagerHint", "secret\n"}},
         QStringLiteral("pw"),
         true},
        {"the mark with another value",
         {{"text/plain", "pw"}, {"x-kde-passwordManagerHint", "public"}},
         QStringLiteral("pw"),
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto saved = DataControlClipboard::describe(c.formats, false);
        EXPECT_EQ(saved.empty, c.formats.empty());
        EXPECT_FALSE(saved.complete);
        EXPECT_EQ(saved.plainText, c.plainText);
        EXPECT_EQ(saved.concealed, c.concealed);
    }
}

// A process started through `sh -c` with `environment` (which may name the shell's own pid as
// $$, kept by exec) and left running until the object goes.
class SleepingProcess {
public:
    explicit SleepingProcess(const QString& environment) {
        m_process.start("/bin/sh", {"-c", environment + " exec sleep 30"});
        m_process.waitForStarted(5000);
    }
    ~SleepingProcess() {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
};

TEST(WaylandAppIdentityTest, AProcessIsNamedByItsLauncherElseByItsExecutable) {
    const QString applications = TestEnvironment::root() + "/data/applications";
    ASSERT_TRUE(QDir().mkpath(applications));
    QFile entry(applications + "/org.example.Notes.desktop");
    ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
    entry.write("[Desktop Entry]\nType=Application\nName=Example Notes\nExec=notes\n");
    entry.close();

    struct Case {
        const char* name;
        QString environment;
        QString accessibleName;
        QString appId;
        QString appName;
    };
    const Case cases[] = {
        {"nothing recorded", "", "", "sleep", "sleep"},
        {"nothing recorded, named on the accessibility bus", "", "Sleeper", "sleep", "Sleeper"},
        {"launched from a desktop file",
         "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/org.example.Notes.desktop GIO_LAUNCHED_DESKTOP_FILE_PID=$$",
         "", "org.example.Notes", "Example Notes"},
        {"a launcher's record inherited from a parent",
         "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/org.example.Notes.desktop GIO_LAUNCHED_DESKTOP_FILE_PID=1",
         "", "sleep", "sleep"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SleepingProcess process(c.environment);
        ASSERT_TRUE(waitUntil([&] { return WaylandAppIdentity::executableName(process.pid()) == "sleep"; }));
        const WaylandFrontApp app = WaylandAppIdentity::forProcess(process.pid(), c.accessibleName);
        EXPECT_EQ(app.pid, process.pid());
        EXPECT_EQ(app.appId, c.appId);
        EXPECT_EQ(app.appName, c.appName);
    }
    EXPECT_EQ(WaylandAppIdentity::forAppId("org.example.Notes").appName, "Example Notes");
    EXPECT_EQ(WaylandAppIdentity::forAppId("some-tool").appName, "some-tool");
    EXPECT_EQ(WaylandAppIdentity::executableName(0), QString());
}

TEST(WaylandConnectionTest, NoCompositorMeansNoConnectionAndNoWaiting) {
    QTemporaryDir dir;
    WaylandConnection connection(QStringLiteral("test-none"));
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(connection.connect(dir.filePath("no-compositor-here")));
    EXPECT_FALSE(connection.isConnected());
    EXPECT_FALSE(connection.compositorLost());
    EXPECT_EQ(connection.offeredVersion("wl_seat"), 0u);
    // Work asked of a connection that never came runs at once and finds nothing to talk to.
    EXPECT_FALSE(connection.call([&connection] { return connection.roundtrip(); }));
    EXPECT_LT(clock.elapsed(), 1000);
}

TEST(WaylandConnectionGuardTest, TheCompositorGoneIsReportedOncePerHook) {
    int calls = 0;
    WaylandConnectionGuard::setConnectionLostHook([&calls] { ++calls; });
    const qsizetype mark = logMark();
    WaylandConnectionGuard::reportConnectionLost("first");
    WaylandConnectionGuard::reportConnectionLost("second");
    EXPECT_EQ(calls, 1);
    const QString log = loggedTextSince(mark);
    EXPECT_TRUE(log.contains("Wayland: Connection to the compositor lost (first)"));
    EXPECT_FALSE(log.contains("(second)"));

    WaylandConnectionGuard::setConnectionLostHook([&calls] { calls += 10; });
    WaylandConnectionGuard::reportConnectionLost("third");
    EXPECT_EQ(calls, 11);
    WaylandConnectionGuard::setConnectionLostHook({});
}

}  // namespace
