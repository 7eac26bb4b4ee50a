#include "Core/Services/ContextEngine.h"

#include "Core/Desktop/AbstractAppDetector.h"
#include "Core/Desktop/AbstractContextReader.h"
#include "Core/Desktop/AbstractDictionarySource.h"
#include "Core/LogCategories.h"
#include "Core/Services/FileTagCache.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Models/TranscriptionResult.h"
#include "Models/VantroseSettings.h"

#include <QPointer>
#include <QRegularExpression>
#include <QSet>

namespace {

QStringList distinctInOrder(const QStringList& items) {
    QStringList result;
    QSet<QString> seen;
    for (const QString& item : items) {
        if (seen.contains(item)) continue;
        seen.insert(item);
        result.append(item);
    }
    return result;
}

// "a, b, c" of the first `limit` items, then " (+N more)".
QString sampleText(const QStringList& items, int limit) {
    QString text = items.mid(0, limit).join(QStringLiteral(", "));
    if (items.size() > limit) text += QStringLiteral(" (+%1 more)").arg(items.size() - limit);
    return text;
}

}  // namespace

// Linux identifiers (desktop-file ids, Flatpak ids, WM_CLASS) of the code editors.
const QStringList ContextEngine::ideBundleIDs = {
    QStringLiteral("code"),    // Visual Studio Code; the piece also covers its Insiders build
    QStringLiteral("cursor"),  // Cursor
    QStringLiteral("co.anysphere.cursor"),
    QStringLiteral("co.anysphere.cursor.nightly"),
    QStringLiteral("windsurf"),
    QStringLiteral("xcode"),
    QStringLiteral("dev.zed.zed"),
};

const QString ContextEngine::identifierPattern = QStringLiteral(
    "\\b[a-z][a-zA-Z0-9]*(?:[A-Z][a-zA-Z0-9]*)+\\b|\\b[a-z]+(?:_[a-z0-9]+)+\\b|\\b[A-Z][a-z]+(?:[A-Z][a-z]+)+\\b|\\b[A-Z]+(?:_[A-Z]+)+\\b");

ContextEngine::ContextEngine(AbstractAppDetector& appDetector, AbstractContextReader& contextReader, QObject* parent)
    : QObject(parent),
      m_appDetector(appDetector),
      m_contextReader(contextReader),
      m_fileNameCache{[](const QStringList& axTexts, const QString& bundleId) {
                          FileTagCache::shared().extractAndCache(axTexts, bundleId);
                      },
                      [] { return FileTagCache::shared().allFileNames(); }} {}

ContextEngine::DictionarySplit ContextEngine::splitDictionary(const QList<DictionaryEntry>& entries) {
    DictionarySplit split;
    QStringList frequent, rare;
    for (const DictionaryEntry& entry : entries) {
        if (entry.isSnippet) {
            if (entry.replacement) split.snippets.insert(entry.word, *entry.replacement);
            continue;
        }
        (entry.frequencyUsed > 2 ? frequent : rare).append(entry.word);
        if (entry.replacement) split.replacements.insert(entry.word, *entry.replacement);
    }
    split.words = frequent + rare;
    split.wordCountBeforeCap = int(split.words.size());
    split.words = split.words.mid(0, maxDictionaryWords);
    return split;
}

WritingStyle ContextEngine::chooseWritingStyle(const PersonalizationSettings& personalization,
                                               const AppClassification& classification) {
    if (personalization.overrideStyle) return *personalization.overrideStyle;
    if (classification.isEmail) return personalization.emailStyle;
    if (classification.isMessaging)
        return classification.isSlack ? personalization.workStyle : personalization.personalStyle;
    return classification.isCoding ? personalization.workStyle : personalization.otherStyle;
}

QStringList ContextEngine::gatherVariableNames(const QString& bundleId, const std::optional<TextFieldContext>& field,
                                               const QStringList& windowWords) {
    const QString lowered = bundleId.toLower();
    bool isEditor = false;
    for (const QString& id : ideBundleIDs) isEditor = isEditor || lowered.contains(id.toLower());
    if (!isEditor) return {};
    const QString text = (field ? field->beforeText : QString()) + QLatin1Char(' ') +
                         (field ? field->afterText : QString()) + QLatin1Char(' ') + windowWords.join(QLatin1Char(' '));
    static const QRegularExpression pattern(identifierPattern);
    if (!pattern.isValid()) return {};
    QStringList matches;
    for (auto it = pattern.globalMatch(text); it.hasNext();) matches.append(it.next().captured(0));
    return distinctInOrder(matches).mid(0, maxVariableNames);
}

std::pair<QString, QString> ContextEngine::splitUserName(const QString& userName) {
    const QStringList parts = userName.split(QLatin1Char(' '));
    return {parts.value(0), parts.mid(1).join(QLatin1Char(' '))};
}

QCoro::Task<TranscriptionContext> ContextEngine::buildTranscriptionContext(VantroseSettings settings,
                                                                           const AbstractDictionarySource& dictionary) {
    QPointer<ContextEngine> guard(this);
    const Clock::TimePoint start = Clock::current().monotonicNow();
    // The dictionary is only guaranteed until the first suspension.
    const DictionarySplit split = splitDictionary(dictionary.dictionaryEntries());

    m_appDetector.updateActiveApp();
    const std::optional<ActiveAppInfo> active = m_appDetector.activeApp();
    // Editors name the open file in their title, which the accessibility tree may not show.
    const QString windowTitle = m_appDetector.activeWindowTitle();
    TranscriptionContext context;
    context.app.name = active ? active->name : QString();
    context.app.bundleId = active ? active->bundleId : QString();
    context.app.url = active ? active->url : std::nullopt;
    if (!context.app.bundleId.isEmpty() && !m_sessionDictationApps.contains(context.app.bundleId)) {
        m_sessionDictationApps.append(context.app.bundleId);
        Q_EMIT sessionDictationAppsChanged();
    }
    if (active && m_addressLookup) {
        const AddressLookup lookup = m_addressLookup;
        const std::optional<QString> url = co_await lookup(*active);
        if (!guard) co_return context;
        if (url) context.app.url = url;
    }
    context.app.classification = AppClassification::classify(context.app.bundleId, context.app.name, context.app.url);
    context.app.type = context.app.classification.type;
    const FileNameCache fileNameCache = m_fileNameCache;
    AbstractContextReader& reader = m_contextReader;

    const std::optional<TextFieldContext> field = co_await reader.readFocusedTextField();
    if (!guard) co_return context;
    if (field) context.axContext = reader.parseContextWords(*field);
    const QStringList windowWords = co_await reader.readActiveWindowText();
    if (!guard) co_return context;
    context.ocrContext = windowWords;

    if (fileNameCache.extractAndCache)
        fileNameCache.extractAndCache(windowTitle.isEmpty() ? windowWords : QStringList{windowTitle} + windowWords,
                                      context.app.bundleId);
    context.variableNames = gatherVariableNames(context.app.bundleId, field, windowWords);

    context.dictionaryContext = split.words;
    context.dictionaryReplacements = split.replacements;
    context.dictionarySnippets = split.snippets;
    context.contextGatherTimeMs = Clock::current().millisecondsSince(start);

    std::tie(context.userFirstName, context.userLastName) = splitUserName(settings.userName);
    const QStringList cachedNames = fileNameCache.allFileNames ? fileNameCache.allFileNames() : QStringList();
    context.fileNames = distinctInOrder(cachedNames);  // the editor context itself finds no file names
    context.personalizationStyle = chooseWritingStyle(settings.personalization, context.app.classification);
    context.editingStrength = settings.personalization.editingStrength;

    if (field) {
        context.textboxContents.contents = field->value;
        context.textboxContents.beforeText = field->beforeText;
        context.textboxContents.selectedText = field->selectedText;
        context.textboxContents.afterText = field->afterText;
        context.textboxContents.isEditable = field->isEditable;
        context.textboxContents.accessibilityIsFunctioning = true;
    }
    context.prevASRText = m_prevASRText;
    context.prevLLMText = m_prevLLMText;
    context.prevDetectedLanguage = m_prevDetectedLanguage;
    context.lastNonemptyStatus = m_lastNonemptyStatus;
    context.sessionDictationApps = m_sessionDictationApps;

    // Field contents, the text around the cursor and words read from the window stay out of the
    // log; counts say enough.
    const QStringList loggedNames = fileNameCache.allFileNames ? fileNameCache.allFileNames() : QStringList();
    VLOG_INFO(lcContextEngine) << QStringLiteral(
                                      "Built context in %1ms — app:%2 type:%3 ax:%4 tree:%5 files:%6 dict:%7")
                                      .arg(QString::asprintf("%.0f", context.contextGatherTimeMs), context.app.name,
                                           rawValue(context.app.type))
                                      .arg(context.axContext.size())
                                      .arg(windowWords.size())
                                      .arg(loggedNames.size())
                                      .arg(split.wordCountBeforeCap);
    if (!loggedNames.isEmpty())
        VLOG_DEBUG(lcContextEngine) << QStringLiteral("File tags → %1").arg(sampleText(loggedNames, 20));
    if (!windowWords.isEmpty())
        VLOG_DEBUG(lcContextEngine) << QStringLiteral("AT-SPI tree words → %1 words").arg(windowWords.size());
    if (field)
        VLOG_DEBUG(lcContextEngine) << QStringLiteral("Textbox → editable:%1 sel:%2 before:%3 chars after:%4 chars")
                                           .arg(field->isEditable ? QStringLiteral("true") : QStringLiteral("false"))
                                           .arg(field->selectionLocation)
                                           .arg(field->beforeText.size())
                                           .arg(field->afterText.size());
    if (!context.variableNames.isEmpty())
        VLOG_DEBUG(lcContextEngine) << QStringLiteral("IDE vars → %1 names").arg(context.variableNames.size());
    co_return context;
}

void ContextEngine::updateAfterTranscription(const TranscriptionResult& result) {
    m_prevASRText = result.rawText;
    m_prevLLMText = result.formattedText;
    m_prevDetectedLanguage = result.language;
    if (!result.formattedText.isEmpty()) m_lastNonemptyStatus = QStringLiteral("FORMATTED");
}
