#include "Core/Formatting/CloudLLMFormatter.h"

#include "Auth/AuthManager.h"
#include "Core/Cloud/NetworkSession.h"
#include "Core/Services/Analytics.h"
#include "Foundation/StringShield.h"
#include "Foundation/UserDefaults.h"

#include "support/LogText.h"
#include "support/LoopbackVendorServer.h"
#include "support/text/ClosedLoopbackURL.h"
#include "support/text/ExpectedFormatterError.h"
#include "support/text/QtPrinters.h"

#include <QCoro/QCoroTask>
#include <QJsonArray>
#include <QNetworkAccessManager>

#include <gtest/gtest.h>

namespace {

AppContext editorContext() {
    return AppContext(QStringLiteral("Mail"), QStringLiteral("org.gnome.Evolution"), std::nullopt,
                      QStringLiteral("Hi Ada,"), QStringLiteral("Regards"), QString(), true, {QStringLiteral("Inbox")});
}

class CloudFormatterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start());
        // The account server is the loopback server, so a token may go to it.
        UserDefaults::shared().setValue(QStringLiteral("cloudServerURL"), server.baseUrl());
    }
    // Connections left open at exit make the HTTP stack's shutdown leak under the sanitizer.
    void TearDown() override { NetworkSession::platformSession()->clearConnectionCache(); }

    void signIn() {
        const auto pair = server.issueTokens();
        token = pair.accessToken;
        UserDefaults::shared().setValue(AuthManager::accessTokenKey, pair.accessToken);
        UserDefaults::shared().setValue(AuthManager::refreshTokenKey, pair.refreshToken);
    }

    RecordedRequest onlyFormatRequest() const {
        const auto requests = server.requests(server.paths().format);
        EXPECT_EQ(requests.size(), 1);
        return requests.isEmpty() ? RecordedRequest{} : requests.front();
    }

    LoopbackVendorServer server;
    QString token;
};

TEST_F(CloudFormatterTest, AvailabilityFollowsTheHealthReply) {
    struct Case {
        const char* name;
        std::optional<LoopbackReply> reply;  // nothing: the server's own health route
        bool expected;
    };
    const Case cases[] = {
        {"built-in health", std::nullopt, true},
        {"one provider up", LoopbackReply::json(QJsonObject{{"llm_providers", QJsonObject{{"a", false}, {"b", true}}}}),
         true},
        {"all down", LoopbackReply::json(QJsonObject{{"llm_providers", QJsonObject{{"a", false}}}}), false},
        {"no providers", LoopbackReply::json(QJsonObject{{"llm_providers", QJsonObject{}}}), false},
        {"member missing", LoopbackReply::json(QJsonObject{{"status", "ok"}}), false},
        {"not booleans", LoopbackReply::json(QJsonObject{{"llm_providers", QJsonObject{{"a", "up"}, {"b", true}}}}),
         false},
        {"providers as array", LoopbackReply::json(QJsonObject{{"llm_providers", QJsonArray{true}}}), false},
        {"503", LoopbackReply::json(QJsonObject{{"llm_providers", QJsonObject{{"a", true}}}}, 503), false},
        {"malformed", LoopbackReply::malformedJson(), false},
        {"html page", LoopbackReply::html(200, "<html>ok</html>"), false},
    };
    CloudLLMFormatter formatter(server.baseUrl());
    EXPECT_EQ(formatter.formatterName(), "CloudLLM");
    for (const Case& c : cases) {
        if (c.reply) server.scriptNext("GET", server.paths().health, *c.reply);
        EXPECT_EQ(QCoro::waitFor(formatter.isAvailable()), c.expected) << c.name;
    }
    EXPECT_FALSE(QCoro::waitFor(CloudLLMFormatter(closedLoopbackURL()).isAvailable()));
    EXPECT_FALSE(QCoro::waitFor(CloudLLMFormatter(QStringLiteral("no scheme")).isAvailable()));
    const RecordedRequest health = server.requests(server.paths().health).front();
    EXPECT_FALSE(health.hasHeader("Authorization"));
}

TEST_F(CloudFormatterTest, BodyCarriesContextWithCutsThatKeepCharactersWhole) {
    const QString emoji = QString::fromUtf8("\U0001F600");
    // 800 characters before the cursor: a cut of 500 UTF-16 units would split the emoji.
    const QString before = QString(300, 'a') + emoji + QString(499, 'b');
    const QString after = QString(199, 'c') + emoji + QString(100, 'd');
    const QString selected = QString(1000, 's');
    QStringList screenWords;
    for (int i = 0; i < 150; ++i) screenWords << QStringLiteral("w%1").arg(i);

    AppContext context(QStringLiteral("Firefox"), QStringLiteral("firefox"), std::nullopt, before, after, selected,
                       true, screenWords);
    VantroseSettings settings;
    settings.writingStyle = WritingStyle::veryCasual;
    settings.userName = QStringLiteral("Ada King Lovelace");
    settings.customWords = {QStringLiteral("Vantrose"), QStringLiteral("kubectl")};
    settings.replacements = {{QStringLiteral("gonna"), QStringLiteral("going to")}};
    settings.snippets = {{QStringLiteral("my sig"), QStringLiteral("Best, Ada")}};

    CloudLLMFormatter formatter(server.baseUrl());
    const auto result = QCoro::waitFor(formatter.format(QStringLiteral(" um hello "), context, settings));
    EXPECT_EQ(result.text, " um hello ");  // the server's text, untouched

    const QJsonObject body = onlyFormatRequest().json();
    EXPECT_EQ(body.keys(), (QStringList{"app_type", "context", "style", "text"}));
    EXPECT_EQ(body.value("text").toString(), " um hello ");
    EXPECT_EQ(body.value("style").toString(), "very_casual");
    EXPECT_EQ(body.value("app_type").toString(), rawValue(context.appType));

    const QJsonObject sent = body.value("context").toObject();
    EXPECT_EQ(sent.size(), 10);
    EXPECT_EQ(
        sent.value("app").toObject(),
        (QJsonObject{{"name", "Firefox"}, {"bundle_id", "firefox"}, {"type", rawValue(context.appType)}, {"url", ""}}));
    EXPECT_EQ(sent.value("before_text").toString(), emoji + QString(499, 'b'));
    EXPECT_EQ(sent.value("after_text").toString(), QString(199, 'c') + emoji);
    EXPECT_EQ(sent.value("selected_text").toString(), selected);
    EXPECT_EQ(sent.value("ocr_context").toArray(), QJsonArray::fromStringList(screenWords));
    EXPECT_EQ(sent.value("user_first_name").toString(), "Ada");
    EXPECT_EQ(sent.value("user_last_name").toString(), "King Lovelace");
    EXPECT_EQ(sent.value("dictionary_context").toArray(), (QJsonArray{"Vantrose", "kubectl"}));
    EXPECT_EQ(sent.value("replacements").toObject(), (QJsonObject{{"gonna", "going to"}}));
    EXPECT_EQ(sent.value("snippets").toObject(), (QJsonObject{{"my sig", "Best, Ada"}}));
}

TEST_F(CloudFormatterTest, UserNameSplitsAtTheFirstSpace) {
    const std::tuple<QString, QString, QString> cases[] = {
        {"Ada King Lovelace", "Ada", "King Lovelace"},
        {"Ada", "Ada", ""},
        {"", "", ""},
        {"  Ada   King  ", "Ada", "King"},
    };
    for (const auto& [name, first, last] : cases) {
        VantroseSettings settings;
        settings.userName = name;
        const QJsonObject context =
            CloudLLMFormatter::buildRequestBody("x", editorContext(), settings).value("context").toObject();
        EXPECT_EQ(context.value("user_first_name").toString(), first) << name.toStdString();
        EXPECT_EQ(context.value("user_last_name").toString(), last) << name.toStdString();
    }
}

TEST_F(CloudFormatterTest, AppAddressIsSentWhenKnown) {
    AppContext context(QStringLiteral("Chromium"), QStringLiteral("chromium"),
                       QStringLiteral("https://mail.example.com/inbox"), {}, {}, {}, true, {});
    const QJsonObject app =
        CloudLLMFormatter::buildRequestBody("x", context, {}).value("context").toObject().value("app").toObject();
    EXPECT_EQ(app.value("url").toString(), "https://mail.example.com/inbox");
}

TEST_F(CloudFormatterTest, HeadersCarryDeviceAndTokenOnlyWhenSignedIn) {
    CloudLLMFormatter formatter(server.baseUrl());
    QCoro::waitFor(formatter.format(QStringLiteral("hello"), editorContext(), {}));
    RecordedRequest request = onlyFormatRequest();
    EXPECT_EQ(request.header(StringShield::hdrContentType().toUtf8()), StringShield::mimeJSON().toUtf8());
    EXPECT_EQ(request.header(StringShield::hdrDeviceID().toUtf8()), Analytics::shared().deviceID().toUtf8());
    EXPECT_FALSE(Analytics::shared().deviceID().isEmpty());
    EXPECT_FALSE(request.hasHeader(StringShield::hdrAuth().toUtf8()));

    server.clearRequests();
    signIn();
    QCoro::waitFor(formatter.format(QStringLiteral("hello"), editorContext(), {}));
    request = onlyFormatRequest();
    EXPECT_EQ(request.header(StringShield::hdrAuth().toUtf8()), (StringShield::hdrBearer() + token).toUtf8());
}

TEST_F(CloudFormatterTest, TokenNeverGoesToAnotherServer) {
    signIn();
    LoopbackVendorServer other;
    ASSERT_TRUE(other.start());
    CloudLLMFormatter formatter(other.baseUrl());
    QCoro::waitFor(formatter.format(QStringLiteral("hello"), editorContext(), {}));
    const auto requests = other.requests(other.paths().format);
    ASSERT_EQ(requests.size(), 1);
    EXPECT_FALSE(requests.front().hasHeader(StringShield::hdrAuth().toUtf8()));
}

TEST_F(CloudFormatterTest, ResultIsNamedAfterTheRaceWinner) {
    struct Case {
        QJsonObject reply;
        const char* text;
        const char* name;
    };
    const Case cases[] = {
        {QJsonObject{{"text", "Hello."}}, "Hello.", "cloud:unknown"},
        {QJsonObject{{"text", "Hello."}, {"race_winner", "m1"}, {"provider", "p"}, {"time_ms", 12}}, "Hello.",
         "cloud:m1"},
        {QJsonObject{{"text", "  spaced \n"}, {"race_winner", 3}}, "  spaced \n", "cloud:unknown"},
    };
    CloudLLMFormatter formatter(server.baseUrl());
    for (const Case& c : cases) {
        server.scriptNext("POST", server.paths().format, LoopbackReply::json(c.reply));
        const auto result = QCoro::waitFor(formatter.format(QStringLiteral("hello"), editorContext(), {}));
        EXPECT_EQ(result.text, c.text);
        EXPECT_EQ(result.formatterName, c.name);
        EXPECT_GE(result.latencyMs, 0.0);
    }
    server.setRaceWinner(QStringLiteral("fast-model"));
    QCoro::waitFor(formatter.format(QStringLiteral("hello"), editorContext(), {}));
    EXPECT_TRUE(loggedText().contains(QStringLiteral("CloudLLMFormatter: formatted in ")));
    EXPECT_TRUE(loggedText().contains(QStringLiteral("ms (fast-model)")));
}

TEST_F(CloudFormatterTest, FailuresAreThrown) {
    using Expected = ExpectedFormatterError;
    using RequestKind = FormatterRequestError::Kind;
    struct Case {
        const char* name;
        LoopbackReply reply;
        bool always;  // a dropped request is retried once by the HTTP stack
        Expected expected;
    };
    const Case cases[] = {
        {"500", LoopbackReply::error(500, "boom"), false, Expected::requestFailed()},
        {"401", LoopbackReply::error(401, "no"), false, Expected::requestFailed()},
        {"no text", LoopbackReply::json(QJsonObject{{"formatted", "x"}}), false, Expected::invalidResponse()},
        {"text not a string", LoopbackReply::json(QJsonObject{{"text", QJsonValue::Null}}), false,
         Expected::invalidResponse()},
        {"array", LoopbackReply::json(QJsonArray{"x"}), false, Expected::invalidResponse()},
        {"malformed", LoopbackReply::malformedJson(), false, Expected::request(RequestKind::json)},
        {"dropped", LoopbackReply::drop(), true, Expected::request(RequestKind::transport)},
        {"time-out", LoopbackReply::hang(), false, Expected::request(RequestKind::timeout)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackVendorServer local;
        ASSERT_TRUE(local.start());
        if (c.always)
            local.scriptAlways("POST", local.paths().format, c.reply);
        else
            local.scriptNext("POST", local.paths().format, c.reply);
        CloudLLMFormatter formatter(local.baseUrl());
        formatter.setRequestTimeout(std::chrono::milliseconds(300));
        expectFormatterError(waitForOutcome(formatter.format(QStringLiteral("hello"), editorContext(), {})),
                             c.expected);
    }
    for (const QString& url : {closedLoopbackURL(), QStringLiteral("::bad::"), QString()}) {
        const auto outcome =
            waitForOutcome(CloudLLMFormatter(url).format(QStringLiteral("hello"), editorContext(), {}));
        EXPECT_TRUE(outcome.errorAs<FormatterRequestError>()) << url.toStdString();
    }
}

}  // namespace
