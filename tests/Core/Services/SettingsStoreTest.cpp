#include "Core/Services/SettingsStore.h"

#include "Auth/AuthManager.h"
#include "Core/Cloud/NetworkSession.h"
#include "Foundation/StringShield.h"
#include "Foundation/UserDefaults.h"
#include "support/LogText.h"
#include "support/LoopbackVendorServer.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

namespace {

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

VantroseSettings withWord(VantroseSettings settings, const QString& word) {
    settings.customWords << word;
    return settings;
}

class SettingsStoreTest : public ::testing::Test {
protected:
    LoopbackVendorServer server;

    void SetUp() override {
        // No settings file (or folder in its place) left by the case before.
        QDir(SettingsStore::settingsPath()).removeRecursively();
        QFile::remove(SettingsStore::settingsPath());
        ASSERT_TRUE(server.start());
        UserDefaults::shared().setValue("cloudServerURL", server.baseUrl());
    }
    void TearDown() override {
        EXPECT_TRUE(waitUntil([] { return NetworkSession::requestsInFlight() == 0; }));
    }

    QString signIn() {
        const QString token = server.issueTokens().accessToken;
        UserDefaults::shared().setValue(AuthManager::accessTokenKey, token);
        return token;
    }
    int puts() const { return server.requestCount(server.paths().settings) - gets(); }
    int gets() const {
        int n = 0;
        for (const RecordedRequest& r : server.requests(server.paths().settings)) n += r.method == "GET";
        return n;
    }
};

TEST_F(SettingsStoreTest, FirstLaunchUsesTheDefaultsAndWritesNothingUntilAChange) {
    EXPECT_EQ(SettingsStore::loadSettings(), VantroseSettings());
    EXPECT_FALSE(QFile::exists(SettingsStore::settingsPath()));
    EXPECT_TRUE(SettingsStore::settingsPath().endsWith("/Vantrose/settings.json"));

    SettingsStore store{VantroseSettings()};
    VantroseSettings changed;
    changed.language = QStringLiteral("de-DE");
    changed.typingReminderSuppressedApps.insert(QStringLiteral("org.example.Mail"), QStringLiteral("Mail"));
    store.updateSettings(changed);
    EXPECT_EQ(store.settings(), changed);
    EXPECT_EQ(readFile(SettingsStore::settingsPath()), QJsonDocument(changed.toJson()).toJson(QJsonDocument::Compact));
    EXPECT_EQ(SettingsStore::loadSettings(), changed);
    EXPECT_TRUE(loggedText().contains("Pipeline: Loaded settings from disk"));
    EXPECT_EQ(server.requestCount(server.paths().settings), 0);  // not signed in: no push
}

TEST_F(SettingsStoreTest, AFileThatDoesNotDecodeIsKeptAside) {
    QJsonObject missingKey = VantroseSettings().toJson();
    missingKey.remove(QStringLiteral("hotkeys"));
    const struct {
        const char* name;
        QByteArray contents;
    } cases[] = {
        {"not JSON", "{\"language\": "},
        {"not an object", "[1, 2]"},
        {"older version without a required key", QJsonDocument(missingKey).toJson()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = SettingsStore::settingsPath();
        writeFile(path, c.contents);
        EXPECT_EQ(SettingsStore::loadSettings(), VantroseSettings());
        EXPECT_FALSE(QFile::exists(path));
        EXPECT_EQ(readFile(path + ".bad"), c.contents);

        SettingsStore store{VantroseSettings()};
        store.updateSettings(withWord(VantroseSettings(), "Vantrose"));
        EXPECT_EQ(readFile(path + ".bad"), c.contents);  // the first write leaves the old file alone
        EXPECT_EQ(SettingsStore::loadSettings().customWords, QStringList{"Vantrose"});
    }
    EXPECT_EQ(loggedText().count("kept as settings.json.bad, using defaults"), 3);
}

TEST_F(SettingsStoreTest, AFailedWriteIsLoggedAndThePushStillHappens) {
    signIn();
    ASSERT_TRUE(QDir().mkpath(SettingsStore::settingsPath()));  // a folder where the file belongs
    SettingsStore store{VantroseSettings()};
    store.updateSettings(withWord(VantroseSettings(), "Quillmate"));
    EXPECT_TRUE(loggedText().contains("Pipeline: Failed to write settings — "));
    ASSERT_TRUE(waitUntil([&] { return server.remoteSettings().isObject(); }));
    EXPECT_EQ(server.remoteSettings().toObject().value("customWords").toArray().first().toString(), "Quillmate");
}

TEST_F(SettingsStoreTest, EveryAssignmentPushesTheFileToTheServer) {
    const QString token = signIn();
    SettingsStore store{VantroseSettings()};
    QSignalSpy pushed(&store, &SettingsStore::pushFinished);
    store.updateSettings(store.settings());  // unchanged values are saved and pushed too
    ASSERT_TRUE(waitUntil([&] { return pushed.count() == 1; }));

    const RecordedRequest put = server.requests(server.paths().settings).last();
    EXPECT_EQ(put.method, "PUT");
    EXPECT_EQ(put.header(StringShield::hdrAuth().toUtf8()), (StringShield::hdrBearer() + token).toUtf8());
    EXPECT_EQ(put.header(StringShield::hdrContentType().toUtf8()), StringShield::mimeJSON().toUtf8());
    EXPECT_EQ(put.body, "{\"settings\":" + readFile(SettingsStore::settingsPath()) + "}");
    EXPECT_TRUE(waitUntil([] { return loggedText().contains("Pipeline: Settings synced to server"); }));
}

// A copy that is not UTF-8 is never sent as it is: the server gets an empty object instead.
TEST_F(SettingsStoreTest, OnlyUtf8IsPushedAsItIs) {
    signIn();
    SettingsStore store{VantroseSettings()};
    QSignalSpy pushed(&store, &SettingsStore::pushFinished);
    struct Case {
        const char* name;
        QByteArray data;
        bool sentAsIs;
    };
    const Case cases[] = {
        {"plain", R"({"userName":"Ada"})", true},
        {"accented and an emoji", "{\"userName\":\"Ad\xC3\xA9 \xF0\x9F\x98\x80\"}", true},
        {"a stray byte", "{\"userName\":\"Ad\xFF\"}", false},
        {"an overlong encoding", "{\"userName\":\"\xC0\xAF\"}", false},
        {"an encoded surrogate", "{\"userName\":\"\xED\xA0\x80\"}", false},
        {"cut off at the end", "{\"userName\":\"\xE2\x82", false},
    };
    for (const Case& c : cases) {
        const int before = int(pushed.count());
        store.pushSettingsToServer(c.data);
        ASSERT_TRUE(waitUntil([&] { return pushed.count() == before + 1; })) << c.name;
        const QByteArray expected = c.sentAsIs ? c.data : QByteArray("{}");
        EXPECT_EQ(server.requests(server.paths().settings).last().body, "{\"settings\":" + expected + "}") << c.name;
    }
}

TEST_F(SettingsStoreTest, PushesAreSerialisedAndOnlyTheNewestWaitingValueIsSent) {
    signIn();
    server.scriptNext("PUT", server.paths().settings, LoopbackReply::normal().after(300));
    SettingsStore store{VantroseSettings()};
    QSignalSpy pushed(&store, &SettingsStore::pushFinished);
    VantroseSettings value;
    for (const char* word : {"alpha", "beta", "gamma"}) {
        value.customWords << word;
        store.updateSettings(value);
    }
    ASSERT_TRUE(waitUntil([&] { return !store.isPushInFlight(); }));
    EXPECT_EQ(pushed.count(), 2);
    EXPECT_EQ(puts(), 2);  // the first, then only the newest of the two that waited
    EXPECT_EQ(server.remoteSettings().toObject().value("customWords").toArray().size(), 3);
}

TEST_F(SettingsStoreTest, APushFailureIsLoggedOnce) {
    signIn();
    server.scriptAlways("PUT", server.paths().settings, LoopbackReply::drop());
    SettingsStore store{VantroseSettings()};
    store.updateSettings(withWord(VantroseSettings(), "one"));
    ASSERT_TRUE(waitUntil([&] { return !store.isPushInFlight(); }));
    EXPECT_EQ(loggedText().count("Pipeline: Settings sync push failed — "), 1);
    EXPECT_TRUE(QFile::exists(SettingsStore::settingsPath()));
}

TEST_F(SettingsStoreTest, ThePullOnlyFillsEmptyLocalSettings) {
    VantroseSettings remote;
    remote.appInstructions = {{"org.example.Mail", "Mail", "Be brief."}, {"org.example.Chat", "Chat", "Casual."}};
    remote.textReplacements = {{"vant rose", "Vantrose"}};
    remote.setHotkey(Hotkey{96, 0}, HotkeyAction::activate);
    QJsonObject missingKey = remote.toJson();
    missingKey.remove(QStringLiteral("language"));

    const struct {
        const char* name;
        bool signedIn;
        VantroseSettings local;
        std::optional<LoopbackReply> reply;  // none: the stored copy
        QJsonValue stored;
        bool applied;
        const char* logLine;  // nullptr: nothing is logged
    } cases[] = {
        {"empty local settings", true, VantroseSettings(), std::nullopt, remote.toJson(), true,
         "Pipeline: Restored settings from server (2 instructions, 1 replacements)"},
        {"one local custom word", true, withWord(VantroseSettings(), "mine"), std::nullopt, remote.toJson(), false,
         "Pipeline: Local settings exist, skipping server pull"},
        {"no copy on the server", true, VantroseSettings(), std::nullopt, QJsonValue::Null, false,
         "Pipeline: No remote settings found (new user)"},
        {"copy without a required key", true, VantroseSettings(), std::nullopt, missingKey, false,
         "Pipeline: No remote settings found (new user)"},
        {"status 404", true, VantroseSettings(), LoopbackReply::error(404, "none"), remote.toJson(), false, nullptr},
        {"not signed in", false, VantroseSettings(), std::nullopt, remote.toJson(), false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UserDefaults::shared().remove(AuthManager::accessTokenKey);
        if (c.signedIn) signIn();
        server.clearRequests();
        server.setRemoteSettings(c.stored);
        if (c.reply) server.scriptNext("GET", server.paths().settings, *c.reply);
        QFile::remove(SettingsStore::settingsPath());
        const QString logBefore = loggedText();

        SettingsStore store{c.local};
        int hotkeyChanges = 0;
        store.onHotkeysChanged = [&](const VantroseSettings& current) {
            ++hotkeyChanges;
            EXPECT_EQ(current.pushToTalkHotkey().keyCode, 96);
        };
        QCoro::waitFor(store.pullSettingsFromServer());

        EXPECT_EQ(gets(), c.signedIn ? 1 : 0);
        EXPECT_EQ(store.settings(), c.applied ? remote : c.local);
        EXPECT_EQ(hotkeyChanges, c.applied ? 1 : 0);  // the pulled hotkeys reach the keyboard monitor
        // A restored copy is written to the file and pushed straight back.
        EXPECT_EQ(QFile::exists(SettingsStore::settingsPath()), c.applied);
        ASSERT_TRUE(waitUntil([&] { return !store.isPushInFlight(); }));
        EXPECT_EQ(puts(), c.applied ? 1 : 0);
        const QString logged = loggedText().mid(logBefore.size());
        if (c.logLine)
            EXPECT_TRUE(logged.contains(c.logLine)) << logged.toStdString();
        else
            EXPECT_FALSE(logged.contains("Pipeline: ")) << logged.toStdString();
    }
}

TEST_F(SettingsStoreTest, ChangeCallbacksSeeThePreviousValue) {
    SettingsStore store{VantroseSettings()};
    QList<VantroseSettings> olds;
    int hotkeyChanges = 0;
    store.onChanged = [&](const VantroseSettings& old) { olds << old; };
    store.onHotkeysChanged = [&](const VantroseSettings&) { ++hotkeyChanges; };

    store.updateSettings([](VantroseSettings& s) { s.customWords << "one"; });
    store.updateSettings([](VantroseSettings& s) { s.setHotkey(Hotkey{96, 0}, HotkeyAction::lock); });
    store.updateSettings([](VantroseSettings& s) { s.dismissKeyCode = 51; });
    ASSERT_EQ(olds.size(), 3);
    EXPECT_TRUE(olds[0].customWords.isEmpty());
    EXPECT_EQ(olds[1].customWords, QStringList{"one"});
    EXPECT_EQ(hotkeyChanges, 2);
}

}  // namespace
