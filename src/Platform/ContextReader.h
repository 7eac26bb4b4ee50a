#pragma once

#include "Core/Desktop/AbstractContextReader.h"
#include "Models/TextFieldContext.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

class AbstractAppDetector;
struct AtspiFieldInfo;

// Reads other applications through AT-SPI: the focused text field, the words of the focused
// window, and changes of a field after a paste. The reads run on the AT-SPI client's worker
// thread and the coroutines resume on the main thread, so the interface never waits on
// another application. Password fields are never read, logged or watched.
class ContextReader : public QObject, public AbstractContextReader {
    Q_OBJECT
public:
    // `appDetector` names the frontmost application (its identifier decides the Electron
    // switch); without one, or without a record, the application owning the active window
    // in the accessibility tree is read.
    explicit ContextReader(const AbstractAppDetector* appDetector = nullptr, QObject* parent = nullptr);

    QCoro::Task<std::optional<TextFieldContext>> readFocusedTextField() override;
    QStringList parseContextWords(const TextFieldContext& field) const override;
    QCoro::Task<QStringList> readActiveWindowText() override;
    void observeTextChanges(std::int32_t pid, double durationSeconds,
                            std::function<void(const QString&)> onChange) override;

    QSet<std::int32_t> manualAccessibilityEnabledPIDs() const { return m_manualAccessibilityEnabledPIDs; }

    // Tables.
    static const QSet<QString> electronBundleIDs;
    static const QSet<QString> chromeWords;

    // The record of a field as read: the value split at the selection and cut to its limits.
    static TextFieldContext makeTextFieldContext(const AtspiFieldInfo& field);
    // The split words of the window's texts: pieces of 2 to 60 characters, first occurrence
    // kept in order, then the proper-noun filter.
    static QStringList windowWordsFromTexts(const QStringList& texts);
    static QStringList filterForProperNouns(const QStringList& words);

    static constexpr int maxContextWords = 200;
    static constexpr int maxWindowWords = 500;

private:
    struct Target {
        qint64 pid = 0;  // 0: the active window's application
        QString bundleId;
    };
    Target frontmost() const;
    // Chromium and Electron build their accessibility tree only when assistive technology is
    // announced; on Linux that is org.a11y.Status.IsEnabled. `pid` is for the log. Blocking: call
    // off the main thread.
    static bool enableManualAccessibility(std::int32_t pid);

    const AbstractAppDetector* m_appDetector = nullptr;
    QSet<std::int32_t> m_manualAccessibilityEnabledPIDs;  // main thread only
};
