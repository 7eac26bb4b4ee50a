#pragma once

#include "Models/AppClassification.h"
#include "Models/Personalization.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// The focused field as one dictation's context carries it.
struct TextboxContents {
    QString contents;        // the field's value (first 4000 characters)
    QString beforeText;      // last 2000 characters before the selection
    QString selectedText;    // first 1000 characters
    QString afterText;       // first 2000 characters after the selection
    bool isEditable = true;  // assumed editable when nothing could be read
    bool accessibilityIsFunctioning = false;

    bool operator==(const TextboxContents&) const = default;
};

// Everything gathered at the start of one dictation about where the text will go and who is
// speaking. Built anew for each dictation; a missing source leaves its empty value.
struct TranscriptionContext {
    struct AppInfo {
        QString name;
        QString bundleId;
        std::optional<QString> url;
        AppType type = AppType::general;
        AppClassification classification;

        bool operator==(const AppInfo&) const = default;
    };

    AppInfo app;
    QStringList axContext;   // words around the cursor, at most 200
    QStringList ocrContext;  // words of the focused window or the screen, at most 500
    std::optional<QByteArray> screenshot;
    TextboxContents textboxContents;
    QStringList dictionaryContext;                  // at most 500
    QMap<QString, QString> dictionaryReplacements;  // word -> replacement
    QMap<QString, QString> dictionarySnippets;      // trigger -> snippet text
    QString userFirstName;
    QString userLastName;
    QStringList variableNames;  // identifiers seen in a code editor, at most 80
    QStringList fileNames;
    QString prevASRText;
    QString prevLLMText;
    QString prevDetectedLanguage;
    QString lastNonemptyStatus;
    QStringList sessionDictationApps;
    WritingStyle personalizationStyle = WritingStyle::default_;
    EditingStrength editingStrength = EditingStrength::light;
    double contextGatherTimeMs = 0;

    bool operator==(const TranscriptionContext&) const = default;
};
