#include "Platform/Atspi/AtspiClient.h"
#include "Platform/BrowserAddressLookup.h"

#include "support/AtspiFixtureProcess.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QProcess>

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <atomic>
#include <csignal>
#include <mutex>

namespace {

// Polls the focused field of `pid` until it reads as `expected`.
AtspiFocusRead readWhenValue(qint64 pid, const QString& expected) {
    AtspiFocusRead read;
    waitUntil(
        [&] {
            read = AtspiClient::shared().readFocusedField(pid);
            return read.status == AtspiFocusRead::Status::Ok && read.field.value == expected;
        },
        std::chrono::seconds(20));
    return read;
}

}  // namespace

TEST(AtspiClientDesktop, IsTrustedOnTheTestDesktop) {
    // The registry may still be starting with the desktop.
    EXPECT_TRUE(waitUntil([] { return AtspiClient::shared().isTrusted(); }, std::chrono::seconds(20)));
}

TEST(AtspiClientDesktop, ReadsQtFieldWithEmojiAsCharacterOffsets) {
    const QString text = QStringLiteral("héllo 😀 wörld");
    const int caret = text.indexOf(QStringLiteral(" wörld"));  // UTF-16 index after the emoji
    AtspiFixtureProcess fixture({QStringLiteral("--text"), text, QStringLiteral("--cursor"), QString::number(caret)});
    ASSERT_TRUE(fixture.waitUntilReady());
    const AtspiFocusRead read = readWhenValue(fixture.pid(), text);
    ASSERT_EQ(read.status, AtspiFocusRead::Status::Ok);
    EXPECT_EQ(read.field.pid, fixture.pid());
    EXPECT_TRUE(read.field.isEditable);
    EXPECT_TRUE(read.field.isTextInputRole);
    EXPECT_EQ(read.field.selectionStart, caret);
    EXPECT_EQ(read.field.selectionEnd, caret);
    EXPECT_EQ(read.field.selectionLocation, 7);  // h é l l o ␠ 😀
    EXPECT_EQ(text.left(read.field.selectionStart), QStringLiteral("héllo 😀"));
}

TEST(AtspiClientDesktop, ReadsGtkFieldInCharacterOffsets) {
    const QString text = QStringLiteral("héllo 😀 wörld");
    GtkEntryProcess entry(text);
    // zenity starts with its whole text selected: 13 characters, 14 UTF-16 units.
    AtspiFocusRead read = readWhenValue(entry.pid(), text);
    ASSERT_EQ(read.status, AtspiFocusRead::Status::Ok);
    EXPECT_TRUE(read.field.isEditable);
    EXPECT_EQ(read.field.selectionLength, 13);
    EXPECT_EQ(read.field.selectedText, text);

    // Caret after the emoji: character offset 7, UTF-16 index 8.
    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Home")});
    for (int i = 0; i < 7; ++i)
        QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Right")});
    ASSERT_TRUE(waitUntil(
        [&] {
            read = AtspiClient::shared().readFocusedField(entry.pid());
            return read.status == AtspiFocusRead::Status::Ok && read.field.selectionLocation == 7;
        },
        std::chrono::seconds(20)));
    EXPECT_EQ(read.field.selectionLength, 0);
    EXPECT_EQ(read.field.selectionStart, 8);
    EXPECT_EQ(text.left(read.field.selectionStart), QStringLiteral("héllo 😀"));
    EXPECT_TRUE(read.field.selectedText.isEmpty());
}

// GTK reports "no selection" either as no selections at all or as one whose start equals its end,
// which need not be where the caret is; either way nothing is selected.
TEST(AtspiClientDesktop, GtkFieldWithTheCaretAfterItsTextHasNothingSelected) {
    const QString text = QStringLiteral("Hello there you");
    GtkEntryProcess entry(text);
    AtspiFocusRead read = readWhenValue(entry.pid(), text);
    ASSERT_EQ(read.status, AtspiFocusRead::Status::Ok);
    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("End")});
    ASSERT_TRUE(waitUntil(
        [&] {
            read = AtspiClient::shared().readFocusedField(entry.pid());
            return read.status == AtspiFocusRead::Status::Ok && read.field.selectedText != text;
        },
        std::chrono::seconds(20)))
        << read.field.selectedText.toStdString();
    EXPECT_EQ(read.field.selectionLocation, 15);
    EXPECT_EQ(read.field.selectionLength, 0);
    EXPECT_EQ(read.field.selectionStart, 15);
    EXPECT_EQ(read.field.selectionEnd, 15);
    EXPECT_TRUE(read.field.selectedText.isEmpty());
}

TEST(AtspiClientDesktop, RefusesPasswordFieldAndNeverWalksItsText) {
    AtspiFixtureProcess fixture({QStringLiteral("--password"), QStringLiteral("--text"),
                                 QStringLiteral("hunter2secret"), QStringLiteral("--label"),
                                 QStringLiteral("Login Vaultwarden")});
    ASSERT_TRUE(fixture.waitUntilReady());
    AtspiFocusRead read;
    ASSERT_TRUE(waitUntil(
        [&] {
            read = AtspiClient::shared().readFocusedField(fixture.pid());
            return read.status == AtspiFocusRead::Status::PasswordField;
        },
        std::chrono::seconds(20)));
    EXPECT_TRUE(read.field.value.isEmpty());

    AtspiWindowWalk walk;
    ASSERT_TRUE(waitUntil(
        [&] {
            walk = AtspiClient::shared().walkFocusedWindow(fixture.pid());
            return walk.texts.join(' ').contains(QLatin1String("Vaultwarden"));
        },
        std::chrono::seconds(20)));
    EXPECT_FALSE(walk.texts.join(' ').contains(QLatin1String("hunter2secret")));
    EXPECT_FALSE(AtspiClient::shared().observeTextChanges(fixture.pid(), std::chrono::seconds(1), nullptr, nullptr));
}

TEST(AtspiClientDesktop, WalksWindowTextsWithinLimits) {
    AtspiFixtureProcess fixture({QStringLiteral("--label"), QStringLiteral("Project Zephyr notes"),
                                 QStringLiteral("--label"), QStringLiteral("Owner: Marguerite"),
                                 QStringLiteral("--text"), QStringLiteral("draft for Kubernetes")});
    ASSERT_TRUE(fixture.waitUntilReady());
    AtspiWindowWalk walk;
    ASSERT_TRUE(waitUntil(
        [&] {
            walk = AtspiClient::shared().walkFocusedWindow(fixture.pid());
            const QString all = walk.texts.join(' ');
            return all.contains(QLatin1String("Zephyr")) && all.contains(QLatin1String("Kubernetes"));
        },
        std::chrono::seconds(20)));
    EXPECT_TRUE(walk.windowFound);
    EXPECT_GT(walk.visitCount, 2);
    EXPECT_TRUE(walk.texts.join(' ').contains(QLatin1String("Marguerite")));

    AtspiWalkLimits tight;
    tight.maxVisits = 2;
    const AtspiWindowWalk small = AtspiClient::shared().walkFocusedWindow(fixture.pid(), tight);
    EXPECT_EQ(small.visitCount, 2);
}

TEST(AtspiClientDesktop, ObservesTypedChangesUntilTheWatchEnds) {
    AtspiFixtureProcess fixture({QStringLiteral("--text"), QStringLiteral("start")});
    ASSERT_TRUE(fixture.waitUntilReady());
    ASSERT_EQ(readWhenValue(fixture.pid(), QStringLiteral("start")).status, AtspiFocusRead::Status::Ok);

    std::mutex mutex;
    QStringList seen;
    std::atomic<bool> ended{false};
    ASSERT_TRUE(AtspiClient::shared().observeTextChanges(
        fixture.pid(), std::chrono::seconds(3),
        [&](const QString& text) {
            std::lock_guard lock(mutex);
            seen << text;
        },
        [&] { ended = true; }));
    EXPECT_EQ(AtspiClient::shared().activeObservationCount(), 1);

    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("End")});
    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("ed")});
    ASSERT_TRUE(waitUntil(
        [&] {
            std::lock_guard lock(mutex);
            return seen.contains(QStringLiteral("started"));
        },
        std::chrono::seconds(20)));
    ASSERT_TRUE(waitUntil([&] { return ended.load(); }, std::chrono::seconds(20)));
    EXPECT_EQ(AtspiClient::shared().activeObservationCount(), 0);
}

TEST(AtspiClientDesktop, FindsAddressBarTextByItsName) {
    AtspiFixtureProcess fixture({QStringLiteral("--field-name"), QStringLiteral("Address and search bar"),
                                 QStringLiteral("--text"), QStringLiteral("https://example.org/page")});
    ASSERT_TRUE(fixture.waitUntilReady());
    std::optional<QString> address;
    ASSERT_TRUE(waitUntil(
        [&] {
            address = AtspiClient::shared().findAddressBarText(fixture.pid(), 8, 20);
            return address.has_value();
        },
        std::chrono::seconds(20)));
    EXPECT_EQ(*address, QStringLiteral("https://example.org/page"));
    // Too shallow a search never reaches the field.
    EXPECT_FALSE(AtspiClient::shared().findAddressBarText(fixture.pid(), 1, 20).has_value());
}

TEST(AtspiClientDesktop, NeverQueriesOwnProcess) {
    EXPECT_EQ(AtspiClient::shared().readFocusedField(QCoreApplication::applicationPid()).status,
              AtspiFocusRead::Status::NoApplication);
    EXPECT_FALSE(AtspiClient::shared().findAddressBarText(QCoreApplication::applicationPid(), 6, 20).has_value());
}

TEST(BrowserAddressDesktop, CacheAnswersAtOnceAndFollowsNavigation) {
    AtspiFixtureProcess fixture({QStringLiteral("--field-name"), QStringLiteral("Address and search bar"),
                                 QStringLiteral("--text"), QStringLiteral("https://example.org/a")});
    ASSERT_TRUE(fixture.waitUntilReady());
    ActiveAppInfo app{QStringLiteral("Firefox"), QStringLiteral("org.mozilla.firefox"), std::int32_t(fixture.pid()),
                      std::nullopt};
    BrowserAddressCache cache;
    QStringList announced;
    QObject::connect(&cache, &BrowserAddressCache::addressChanged,
                     [&](std::int32_t, const QString& url) { announced << url; });
    ASSERT_TRUE(waitUntil([&] { return cache.addressFor(app) == QStringLiteral("https://example.org/a"); },
                          std::chrono::seconds(20)));
    // The field is the address bar here; typing stands in for navigating.
    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("End"), QStringLiteral("b")});
    ASSERT_TRUE(waitUntil([&] { return cache.addressFor(app) == QStringLiteral("https://example.org/ab"); },
                          std::chrono::seconds(20)));
    EXPECT_EQ(announced, (QStringList{"https://example.org/a", "https://example.org/ab"}));
    // Not a browser: nothing is looked up.
    app.bundleId = QStringLiteral("org.gnome.TextEditor");
    EXPECT_FALSE(cache.addressFor(app).has_value());
    EXPECT_FALSE(BrowserAddressLookup::lookup(app.pid, app.bundleId).has_value());
}

TEST(AtspiClientDesktop, UnresponsiveApplicationCostsBoundedTime) {
    AtspiFixtureProcess fixture({QStringLiteral("--label"), QStringLiteral("Project Zephyr"), QStringLiteral("--text"),
                                 QStringLiteral("frozen")});
    ASSERT_TRUE(fixture.waitUntilReady());
    ASSERT_EQ(readWhenValue(fixture.pid(), QStringLiteral("frozen")).status, AtspiFocusRead::Status::Ok);
    ::kill(pid_t(fixture.pid()), SIGSTOP);
    QElapsedTimer clock;
    clock.start();
    const AtspiFocusRead read = AtspiClient::shared().readFocusedField(fixture.pid());
    const qint64 readMs = clock.restart();
    const AtspiWindowWalk walk = AtspiClient::shared().walkFocusedWindow(fixture.pid());
    const qint64 walkMs = clock.elapsed();
    ::kill(pid_t(fixture.pid()), SIGCONT);
    // One call runs into the call timeout; after that the frozen program is left alone.
    EXPECT_EQ(read.status, AtspiFocusRead::Status::NoFocusedElement);
    EXPECT_LT(readMs, 2000);
    EXPECT_LT(walkMs, 500);
    EXPECT_EQ(walk.visitCount, 0);
}
