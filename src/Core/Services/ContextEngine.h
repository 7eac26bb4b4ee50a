#pragma once

#include "Core/Desktop/AbstractContextEngine.h"
#include "Models/ActiveAppInfo.h"
#include "Models/DictionaryEntry.h"
#include "Models/TextFieldContext.h"
#include "Models/TranscriptionContext.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class AbstractAppDetector;
class AbstractContextReader;
struct PersonalizationSettings;

// Gathers, at the start of every dictation, what the recognisers and formatters may use about
// where the text will go and who is speaking, and remembers the previous dictation. Lives on
// the main thread; the accessibility reads it awaits run off it.
class ContextEngine : public QObject, public AbstractContextEngine {
    Q_OBJECT
    Q_PROPERTY(QStringList sessionDictationApps READ sessionDictationApps NOTIFY sessionDictationAppsChanged)
public:
    // The editor file-name cache as the engine uses it: feed it a window's words, read back
    // every stored name. Both may be empty (no cache). By default the process-wide
    // FileTagCache, fed the front window's title and words.
    struct FileNameCache {
        std::function<void(const QStringList& axTexts, const QString& bundleId)> extractAndCache;
        std::function<QStringList()> allFileNames;
    };

    ContextEngine(AbstractAppDetector& appDetector, AbstractContextReader& contextReader, QObject* parent = nullptr);

    void setFileNameCache(FileNameCache cache) { m_fileNameCache = std::move(cache); }

    // Reads the address a browser shows now (off the main thread). With it, every context
    // carries the current address instead of the one recorded when the browser came to the
    // front; it answers absent for applications that are not browsers.
    using AddressLookup = std::function<QCoro::Task<std::optional<QString>>(ActiveAppInfo app)>;
    void setAddressLookup(AddressLookup lookup) { m_addressLookup = std::move(lookup); }

    QCoro::Task<TranscriptionContext> buildTranscriptionContext(VantroseSettings settings,
                                                                const AbstractDictionarySource& dictionary) override;
    void updateAfterTranscription(const TranscriptionResult& result) override;
    QStringList sessionDictationApps() const override { return m_sessionDictationApps; }

    QString prevASRText() const { return m_prevASRText; }
    QString prevLLMText() const { return m_prevLLMText; }
    QString prevDetectedLanguage() const { return m_prevDetectedLanguage; }
    QString lastNonemptyStatus() const { return m_lastNonemptyStatus; }

    // Code editors, matched as case-insensitive pieces of the application identifier.
    static const QStringList ideBundleIDs;
    static const QString identifierPattern;

    struct DictionarySplit {
        QStringList words;  // frequent first, at most 500
        int wordCountBeforeCap = 0;
        QMap<QString, QString> replacements;
        QMap<QString, QString> snippets;
    };
    static DictionarySplit splitDictionary(const QList<DictionaryEntry>& entries);
    static WritingStyle chooseWritingStyle(const PersonalizationSettings& personalization,
                                           const AppClassification& classification);
    // Identifiers seen around the cursor and in the window of a code editor, at most 80.
    static QStringList gatherVariableNames(const QString& bundleId, const std::optional<TextFieldContext>& field,
                                           const QStringList& windowWords);
    static std::pair<QString, QString> splitUserName(const QString& userName);

    static constexpr int maxDictionaryWords = 500;
    static constexpr int maxVariableNames = 80;

Q_SIGNALS:
    void sessionDictationAppsChanged();

private:
    AbstractAppDetector& m_appDetector;
    AbstractContextReader& m_contextReader;
    FileNameCache m_fileNameCache;
    AddressLookup m_addressLookup;

    QStringList m_sessionDictationApps;
    QString m_prevASRText;
    QString m_prevLLMText;
    QString m_prevDetectedLanguage;
    QString m_lastNonemptyStatus;
};
