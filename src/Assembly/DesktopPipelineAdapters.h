#pragma once

#include "Core/Pipeline/PipelineCollaborators.h"

#include <memory>

class HistoryStore;

// The pipeline's seams over the layers beside Core (the history database and the evaluation
// statistics). Only the composition root builds these.

// HistoryStore behind the history seam.
class HistoryStorePipelineHistory final : public AbstractPipelineHistory {
public:
    // Takes the store to use; none: the store in the data folder.
    explicit HistoryStorePipelineHistory(std::unique_ptr<HistoryStore> store = nullptr);
    ~HistoryStorePipelineHistory() override;

    void initialize() override;
    QList<TranscriptionResult> recentHistory() const override;
    Totals loadTotals() const override;
    void save(const TranscriptionResult& result) override;
    void saveEvent(const QString& traceID, const QString& sessionID, const QString& event, const QString& appBundleID,
                   const QString& fieldType, const QVariantMap& payload) override;
    void saveOutcomeSnapshot(const QString& traceID, const QString& sessionID,
                             const DictationOutcomeSnapshot& snapshot) override;
    void addWord(const QString& word, const std::optional<QString>& replacement, bool isSnippet) override;
    QList<DictionaryEntry> dictionaryEntries() const override;
    HistoryStore* historyStore() override { return m_store.get(); }

    HistoryStore& store() { return *m_store; }

private:
    std::unique_ptr<HistoryStore> m_store;
};

// The program's services with the latency statistics kept in the shared evaluation harness.
class EvaluatingPipelineServices final : public PipelineServices {
public:
    void recordEvaluation(const TranscriptionResult& result) override;
    int evaluatedDictations() const override;
    void printEvaluationReport() override;
};
