#include "Core/Formatting/OllamaLLMFormatter.h"
#include "Core/Formatting/AdaptiveFormatter.h"

#include "support/LogText.h"
#include "support/text/ClosedLoopbackURL.h"
#include "support/text/ExpectedFormatterError.h"
#include "support/text/FakeOllamaServer.h"
#include "support/text/QtPrinters.h"

#include "Core/Cloud/NetworkSession.h"

#include <QCoro/QCoroTask>
#include <QJsonArray>
#include <QNetworkAccessManager>

#include <gtest/gtest.h>

#include <functional>

namespace {

AppContext contextOf(AppType type, const QString& before = {}, const QStringList& screenWords = {}) {
    AppContext context(QStringLiteral("App"), QStringLiteral("org.example.app"), std::nullopt, before, {}, {}, true,
                       screenWords);
    context.appType = type;
    return context;
}

QString wordsText(int count) {
    QStringList words;
    for (int i = 0; i < count; ++i) words << QStringLiteral("word");
    return words.join(' ');
}

const QString kPromptHead = QStringLiteral(
    "Format the following raw speech transcript into properly written text. Apply correct punctuation, "
    "capitalization, and paragraph breaks where appropriate. ");
const QString kPromptTail = QStringLiteral(
    "\nOutput ONLY the formatted text, nothing else. Do not add any preamble or explanation.\n\nRaw transcript: ");

TEST(OllamaPrompt, FollowsStyleApplicationAndCursor) {
    QStringList hundredWords;
    for (int i = 0; i < 100; ++i) hundredWords << QStringLiteral("w%1").arg(i);
    QStringList first80 = hundredWords.mid(0, 80);
    const QString emoji = QString::fromUtf8("\U0001F600");
    // A cut of 200 UTF-16 units would start inside the emoji's surrogate pair.
    const QString longBefore = QString(10, 'x') + emoji + QString(199, 'y');

    struct Case {
        WritingStyle style;
        AppContext context;
        QString expectedMiddle;  // between the head and the output instruction
    };
    const Case cases[] = {
        {WritingStyle::default_, contextOf(AppType::general), "Use a natural, neutral tone. \n"},
        {WritingStyle::formal, contextOf(AppType::email),
         "Use formal, professional language. This is for an email. Use appropriate email formatting.\n"},
        {WritingStyle::casual, contextOf(AppType::messaging),
         "Use casual, conversational language. This is for a chat message. Keep it casual and concise. "
         "Don't add a period at the end.\n"},
        {WritingStyle::veryCasual, contextOf(AppType::coding),
         "Use very casual language, like texting a friend. This is a code comment or documentation. "
         "Use technical language.\n"},
        {WritingStyle::concise, contextOf(AppType::ai),
         "Be as concise as possible while preserving meaning. This is a prompt for an AI assistant. "
         "Be clear and detailed.\n"},
        {WritingStyle::excited, contextOf(AppType::browser, "Dear Ada,", {"Inbox", "Ada"}),
         "Use an enthusiastic, energetic tone. \n\nText before cursor: \"Dear Ada,\"\nWords visible on screen: Inbox, Ada"},
        {WritingStyle::default_, contextOf(AppType::general, longBefore, hundredWords),
         "Use a natural, neutral tone. \n\nText before cursor: \"" + longBefore.right(200 + 1) +
             "\"\nWords visible on screen: " + first80.join(", ")},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i);
        VantroseSettings settings;
        settings.writingStyle = cases[i].style;
        const QString prompt =
            OllamaLLMFormatter::buildPrompt(QStringLiteral("um hello  there"), cases[i].context, settings);
        EXPECT_EQ(prompt, kPromptHead + cases[i].expectedMiddle + kPromptTail +
                              QStringLiteral("um hello  there\n\nFormatted text:"));
    }
}

TEST(OllamaPrompt, CleaningRemovesPreamblesAndQuotes) {
    const std::pair<QString, QString> cases[] = {
        {"Here is the formatted text:\n\n\"Hello there.\"", "Hello there."},
        {"formatted text: hi", "hi"},
        {"  Here is the formatted text: Formatted text: \"x\" ", "x"},
        {"Here's the formatted version:\nHi.", "Hi."},
        {"\"", ""},
        {"\"\"", ""},
        {"\"a\" and \"b\"", "a\" and \"b"},
        {"She said \"hi\"", "She said \"hi\""},
        {"Formatted text:  \" spaced \" ", " spaced "},
        {"Plain answer.", "Plain answer."},
    };
    for (const auto& [answer, cleaned] : cases)
        EXPECT_EQ(OllamaLLMFormatter::cleanLLMResponse(answer), cleaned) << answer.toStdString();
}

class OllamaServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    // Connections left open at exit make the HTTP stack's shutdown leak under the sanitizer.
    void TearDown() override { NetworkSession::platformSession()->clearConnectionCache(); }

    FakeOllamaServer server;
};

TEST_F(OllamaServerTest, GenerateRequestCarriesModelPromptAndOptions) {
    server.setCompletion(QStringLiteral("Here is the formatted text: \"Hello, world.\""));
    OllamaLLMFormatter formatter(server.baseUrl(), QStringLiteral("qwen2.5:1.5b"));
    VantroseSettings settings;
    const AppContext context = contextOf(AppType::email, QStringLiteral("Hi,"));
    const auto result = QCoro::waitFor(formatter.format(QStringLiteral("hello world"), context, settings));

    EXPECT_EQ(result.text, "Hello, world.");
    EXPECT_EQ(result.formatterName, "OllamaLLM:qwen2.5:1.5b");
    EXPECT_GE(result.latencyMs, 0.0);
    EXPECT_TRUE(loggedText().contains(QStringLiteral("ms using qwen2.5:1.5b")));

    ASSERT_EQ(server.generateRequests().size(), 1);
    const RecordedRequest request = server.generateRequests().front();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    const QJsonObject body = request.json();
    EXPECT_EQ(body.size(), 4);
    EXPECT_EQ(body.value("model").toString(), "qwen2.5:1.5b");
    EXPECT_EQ(body.value("prompt").toString(), OllamaLLMFormatter::buildPrompt("hello world", context, settings));
    EXPECT_EQ(body.value("stream"), QJsonValue(false));
    EXPECT_EQ(body.value("options").toObject(),
              (QJsonObject{{"temperature", 0.1}, {"top_p", 0.9}, {"num_predict", 512}}));
}

// One dictation into the same application under two voice styles: the style chosen for the
// application travels in the prompt, and a model that follows it gives two different texts.
TEST_F(OllamaServerTest, TheVoiceStyleOfTheApplicationInFrontTravelsInThePrompt) {
    server.setCompleter([](const QString& prompt) {
        if (prompt.contains(VoiceStyles::instruction(VoiceStyle::casual))) return QStringLiteral("sure, friday works");
        if (prompt.contains(VoiceStyles::instruction(VoiceStyle::professional)))
            return QStringLiteral("Certainly. Friday suits us.");
        return QStringLiteral("Sure, Friday works.");
    });
    AdaptiveFormatter formatter(server.baseUrl(), QStringLiteral("qwen2.5:1.5b"));
    const AppContext mail = contextOf(AppType::email);
    QStringList texts;
    for (const VoiceStyle style : {VoiceStyle::casual, VoiceStyle::professional}) {
        VantroseSettings settings;
        settings.useLLMFormatting = true;
        settings.appInstructions = {AppInstruction{QStringLiteral("org.example.other"), QStringLiteral("Other"),
                                                   VoiceStyles::instruction(VoiceStyle::notes)},
                                    AppInstruction{mail.bundleId, mail.appName, VoiceStyles::instruction(style)}};
        texts << QCoro::waitFor(formatter.format(QStringLiteral("sure friday works"), mail, settings)).text;
        const QString prompt = server.generateRequests().last().json().value("prompt").toString();
        EXPECT_TRUE(prompt.contains(QStringLiteral("Style for this app: ") + VoiceStyles::instruction(style)))
            << prompt.toStdString();
        EXPECT_FALSE(prompt.contains(VoiceStyles::instruction(VoiceStyle::notes)));
    }
    EXPECT_EQ(texts,
              (QStringList{QStringLiteral("sure, friday works"), QStringLiteral("Certainly. Friday suits us.")}));

    // An application without a style of its own: the prompt names none.
    EXPECT_FALSE(OllamaLLMFormatter::buildPrompt(QStringLiteral("hi"), mail, VantroseSettings())
                     .contains(QStringLiteral("Style for this app")));
}

TEST_F(OllamaServerTest, FailuresAreThrownWithTheirDescriptions) {
    using Expected = ExpectedFormatterError;
    using RequestKind = FormatterRequestError::Kind;
    struct Case {
        const char* name;
        std::function<void(FakeOllamaServer&)> script;
        Expected expected;
    };
    const Case cases[] = {
        {"status 500", [](auto& s) { s.scriptNextGenerate(LoopbackReply::error(500, "boom")); },
         Expected::requestFailed()},
        {"unknown model 404", [](auto& s) { s.setModels({"llama3:latest"}); }, Expected::requestFailed()},
        {"malformed JSON", [](auto& s) { s.scriptNextGenerate(LoopbackReply::malformedJson()); },
         Expected::request(RequestKind::json)},
        {"no response member",
         [](auto& s) {
             s.scriptNextGenerate(LoopbackReply::json(QJsonObject{{"done", true}}));
         },
         Expected::invalidResponse()},
        {"response not a string",
         [](auto& s) {
             s.scriptNextGenerate(LoopbackReply::json(QJsonObject{{"response", 3}}));
         },
         Expected::invalidResponse()},
        {"array body", [](auto& s) { s.scriptNextGenerate(LoopbackReply::json(QJsonArray{"x"})); },
         Expected::invalidResponse()},
        // Always: the HTTP stack retries a request once when its connection closes unanswered.
        {"dropped connection", [](auto& s) { s.scriptAlwaysGenerate(LoopbackReply::drop()); },
         Expected::request(RequestKind::transport)},
        {"time-out", [](auto& s) { s.scriptNextGenerate(LoopbackReply::hang()); },
         Expected::request(RequestKind::timeout)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOllamaServer local;
        ASSERT_TRUE(local.start());
        c.script(local);
        OllamaLLMFormatter formatter(local.baseUrl(), QStringLiteral("qwen2.5:1.5b"));
        formatter.setRequestTimeout(std::chrono::milliseconds(300));
        expectFormatterError(waitForOutcome(formatter.format(QStringLiteral("hello"), contextOf(AppType::general), {})),
                             c.expected);
    }
}

TEST_F(OllamaServerTest, UnreachableOrInvalidEndpointThrows) {
    for (const QString& endpoint : {closedLoopbackURL(), QStringLiteral("not a url"), QString()}) {
        OllamaLLMFormatter formatter(endpoint, QStringLiteral("qwen2.5:1.5b"));
        const auto outcome = waitForOutcome(formatter.format(QStringLiteral("hello"), contextOf(AppType::general), {}));
        EXPECT_TRUE(outcome.errorAs<FormatterRequestError>()) << endpoint.toStdString();
    }
}

TEST_F(OllamaServerTest, AvailabilityMatchesModelNamesByPrefix) {
    struct Case {
        QStringList serverModels;
        QString model;
        bool expected;
    };
    const Case cases[] = {
        {{"llama3:latest"}, "llama3", true},
        {{"mistral:7b", "qwen2.5:1.5b"}, "qwen2.5:1.5b", true},
        {{"mistral:7b"}, "", true},
        {{"llama3:latest"}, "Llama3", false},
        {{"llama3:latest"}, "llama3:8b", false},
        {{}, "", false},
    };
    for (const Case& c : cases) {
        server.setModels(c.serverModels);
        OllamaLLMFormatter formatter(server.baseUrl(), c.model);
        EXPECT_EQ(QCoro::waitFor(formatter.isAvailable()), c.expected) << c.model.toStdString();
    }
}

TEST_F(OllamaServerTest, AvailabilityIsFalseOnEveryFailure) {
    const LoopbackReply replies[] = {
        LoopbackReply::error(500, "down"),
        LoopbackReply::malformedJson(),
        LoopbackReply::json(QJsonObject{{"models", "qwen2.5:1.5b"}}),
        LoopbackReply::json(QJsonObject{{"models", QJsonArray{"qwen2.5:1.5b"}}}),
        LoopbackReply::json(QJsonObject{{"models", QJsonArray{QJsonObject{{"name", 7}}}}}),
        LoopbackReply::json(QJsonArray{}),
    };
    OllamaLLMFormatter formatter(server.baseUrl(), QStringLiteral("qwen2.5:1.5b"));
    for (size_t i = 0; i < std::size(replies); ++i) {
        server.scriptNextTags(replies[i]);
        EXPECT_FALSE(QCoro::waitFor(formatter.isAvailable())) << "case " << i;
    }
    // The HTTP stack retries a request once when its connection closes without an answer.
    server.scriptAlwaysTags(LoopbackReply::drop());
    EXPECT_FALSE(QCoro::waitFor(formatter.isAvailable()));
    EXPECT_FALSE(QCoro::waitFor(OllamaLLMFormatter(closedLoopbackURL(), "qwen2.5:1.5b").isAvailable()));
    EXPECT_FALSE(QCoro::waitFor(OllamaLLMFormatter("::", "qwen2.5:1.5b").isAvailable()));
}

TEST_F(OllamaServerTest, AdaptiveChoosesTheModelForLongOrRichDictations) {
    struct Case {
        bool useLLM;
        AppType appType;
        QString raw;
        const char* expectedFormatter;
    };
    const Case cases[] = {
        {false, AppType::email, wordsText(40), "RuleBased"},
        {true, AppType::general, wordsText(30), "RuleBased"},
        {true, AppType::general, wordsText(31), "OllamaLLM:qwen2.5:1.5b"},
        {true, AppType::general, wordsText(30) + "   ", "RuleBased"},
        {true, AppType::email, "hi there ada", "OllamaLLM:qwen2.5:1.5b"},
        {true, AppType::document, "hi", "OllamaLLM:qwen2.5:1.5b"},
        {true, AppType::ai, "hi", "OllamaLLM:qwen2.5:1.5b"},
        {true, AppType::social, "hi", "OllamaLLM:qwen2.5:1.5b"},
        {true, AppType::messaging, "hi", "RuleBased"},
        {true, AppType::coding, "hi", "RuleBased"},
    };
    AdaptiveFormatter formatter(server.baseUrl(), QStringLiteral("qwen2.5:1.5b"));
    EXPECT_EQ(formatter.formatterName(), "Adaptive");
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i);
        VantroseSettings settings;
        settings.useLLMFormatting = cases[i].useLLM;
        const auto result = QCoro::waitFor(formatter.format(cases[i].raw, contextOf(cases[i].appType), settings));
        EXPECT_EQ(result.formatterName, cases[i].expectedFormatter);
    }
    // The model list is asked once, at the first dictation that wants the model.
    EXPECT_EQ(server.tagsRequestCount(), 1);
    EXPECT_EQ(formatter.llmAvailable(), std::optional<bool>(true));
}

TEST_F(OllamaServerTest, AdaptiveFallsBackToRulesOnEveryModelFailure) {
    const LoopbackReply failures[] = {
        LoopbackReply::error(500, "boom"),
        LoopbackReply::malformedJson(),
        LoopbackReply::json(QJsonObject{{"text", "wrong member"}}),
        LoopbackReply::hang(),
    };
    AdaptiveFormatter formatter(server.baseUrl(), QStringLiteral("qwen2.5:1.5b"));
    formatter.llmFormatter().setRequestTimeout(std::chrono::milliseconds(300));
    VantroseSettings settings;
    settings.useLLMFormatting = true;
    for (size_t i = 0; i < std::size(failures); ++i) {
        server.scriptNextGenerate(failures[i]);
        const auto result =
            QCoro::waitFor(formatter.format(QStringLiteral("hello world"), contextOf(AppType::email), settings));
        EXPECT_EQ(result.formatterName, "RuleBased") << "case " << i;
        EXPECT_EQ(result.text, "Hello world.") << "case " << i;
    }
    EXPECT_EQ(server.generateRequests().size(), qsizetype(std::size(failures)));
    EXPECT_TRUE(loggedText().contains(
        QStringLiteral("AdaptiveFormatter: LLM failed, falling back to rules: Ollama API request failed")));

    server.scriptAlwaysGenerate(LoopbackReply::drop());
    EXPECT_EQ(QCoro::waitFor(formatter.format(QStringLiteral("hello world"), contextOf(AppType::email), settings))
                  .formatterName,
              "RuleBased");
    server.stop();
    EXPECT_EQ(QCoro::waitFor(formatter.format(QStringLiteral("hello world"), contextOf(AppType::email), settings))
                  .formatterName,
              "RuleBased");
}

TEST_F(OllamaServerTest, AdaptiveRemembersAnAbsentServerForItsLifetime) {
    const QString endpoint = server.baseUrl();
    server.stop();
    AdaptiveFormatter formatter(endpoint, QStringLiteral("qwen2.5:1.5b"));
    VantroseSettings settings;
    settings.useLLMFormatting = true;
    auto first = QCoro::waitFor(formatter.format(QStringLiteral("hello"), contextOf(AppType::email), settings));
    EXPECT_EQ(first.formatterName, "RuleBased");
    EXPECT_EQ(formatter.llmAvailable(), std::optional<bool>(false));

    ASSERT_TRUE(server.start());  // a server started later is not noticed
    AdaptiveFormatter other(server.baseUrl(), QStringLiteral("qwen2.5:1.5b"));
    auto second = QCoro::waitFor(formatter.format(QStringLiteral("hello"), contextOf(AppType::email), settings));
    EXPECT_EQ(second.formatterName, "RuleBased");
    EXPECT_EQ(QCoro::waitFor(other.format(QStringLiteral("hello"), contextOf(AppType::email), settings)).formatterName,
              "OllamaLLM:qwen2.5:1.5b");
}

TEST_F(OllamaServerTest, AdaptiveUsesRulesWhenTheModelIsNotPulled) {
    server.setModels({QStringLiteral("mistral:7b")});
    AdaptiveFormatter formatter(server.baseUrl(), QStringLiteral("qwen2.5:1.5b"));
    VantroseSettings settings;
    settings.useLLMFormatting = true;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(QCoro::waitFor(formatter.format(QStringLiteral("hello"), contextOf(AppType::email), settings))
                      .formatterName,
                  "RuleBased");
    }
    EXPECT_EQ(server.tagsRequestCount(), 1);
    EXPECT_TRUE(server.generateRequests().isEmpty());
}

}  // namespace
