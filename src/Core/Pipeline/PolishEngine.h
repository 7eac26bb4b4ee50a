#pragma once

#include "Models/RawValue.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

class HistoryStore;

namespace Polish {
Q_NAMESPACE

// The states of one polish run; raw values equal the case names.
enum class PolishStatus { idle, processing, highlighted, completedAction, completedNA, failed, unhighlighted };
Q_ENUM_NS(PolishStatus)

}  // namespace Polish

template <>
struct RawValueTable<Polish::PolishStatus> {
    using S = Polish::PolishStatus;
    static constexpr std::pair<S, const char*> cases[] = {
        {S::idle, "idle"},
        {S::processing, "processing"},
        {S::highlighted, "highlighted"},
        {S::completedAction, "completedAction"},
        {S::completedNA, "completedNA"},
        {S::failed, "failed"},
        {S::unhighlighted, "unhighlighted"},
    };
};

using Polish::PolishStatus;

// Observable state of the text-polishing feature. The pipeline builds one at set-up and
// publishes it; nothing acts on it yet, so it holds state only.
class PolishEngine : public QObject {
    Q_OBJECT
    Q_PROPERTY(Polish::PolishStatus status READ status WRITE setStatus NOTIFY statusChanged)
    Q_PROPERTY(QString originalText READ originalText WRITE setOriginalText NOTIFY originalTextChanged)
    Q_PROPERTY(QString polishedText READ polishedText WRITE setPolishedText NOTIFY polishedTextChanged)
    Q_PROPERTY(QString instruction READ instruction WRITE setInstruction NOTIFY instructionChanged)
    Q_PROPERTY(double processingTimeMs READ processingTimeMs WRITE setProcessingTimeMs NOTIFY processingTimeMsChanged)
    Q_PROPERTY(int diffCount READ diffCount WRITE setDiffCount NOTIFY diffCountChanged)

public:
    PolishEngine(HistoryStore* historyStore, QString ollamaEndpoint, QString ollamaModel, QObject* parent = nullptr);

    PolishStatus status() const { return m_status; }
    QString originalText() const { return m_originalText; }
    QString polishedText() const { return m_polishedText; }
    QString instruction() const { return m_instruction; }
    double processingTimeMs() const { return m_processingTimeMs; }
    int diffCount() const { return m_diffCount; }

    void setStatus(PolishStatus status);
    void setOriginalText(const QString& text);
    void setPolishedText(const QString& text);
    void setInstruction(const QString& text);
    void setProcessingTimeMs(double ms);
    void setDiffCount(int count);

    HistoryStore* historyStore() const { return m_historyStore; }
    QString ollamaEndpoint() const { return m_ollamaEndpoint; }
    QString ollamaModel() const { return m_ollamaModel; }

Q_SIGNALS:
    void statusChanged();
    void originalTextChanged();
    void polishedTextChanged();
    void instructionChanged();
    void processingTimeMsChanged();
    void diffCountChanged();

private:
    PolishStatus m_status = PolishStatus::idle;
    QString m_originalText;
    QString m_polishedText;
    QString m_instruction;
    double m_processingTimeMs = 0;
    int m_diffCount = 0;
    HistoryStore* m_historyStore;  // the pipeline's store, which outlives this object
    QString m_ollamaEndpoint;
    QString m_ollamaModel;
};
