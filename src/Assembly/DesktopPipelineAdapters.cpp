#include "Assembly/DesktopPipelineAdapters.h"

#include "Eval/EvalHarness.h"
#include "Storage/HistoryStore.h"

HistoryStorePipelineHistory::HistoryStorePipelineHistory(std::unique_ptr<HistoryStore> store)
    : m_store(store ? std::move(store) : std::make_unique<HistoryStore>()) {}

HistoryStorePipelineHistory::~HistoryStorePipelineHistory() = default;

void HistoryStorePipelineHistory::initialize() { m_store->initialize(); }
QList<TranscriptionResult> HistoryStorePipelineHistory::recentHistory() const { return m_store->recentHistory(); }

AbstractPipelineHistory::Totals HistoryStorePipelineHistory::loadTotals() const {
    const HistoryStore::Totals totals = m_store->loadTotals();
    return {totals.dictations, totals.words};
}

void HistoryStorePipelineHistory::save(const TranscriptionResult& result) { m_store->save(result); }

void HistoryStorePipelineHistory::saveEvent(const QString& traceID, const QString& sessionID, const QString& event,
                                            const QString& appBundleID, const QString& fieldType,
                                            const QVariantMap& payload) {
    m_store->saveEvent(traceID, sessionID, event, appBundleID, fieldType, payload);
}

void HistoryStorePipelineHistory::saveOutcomeSnapshot(const QString& traceID, const QString& sessionID,
                                                      const DictationOutcomeSnapshot& snapshot) {
    m_store->saveOutcomeSnapshot(traceID, sessionID, snapshot);
}

void HistoryStorePipelineHistory::addWord(const QString& word, const std::optional<QString>& replacement,
                                          bool isSnippet) {
    m_store->addWord(word, replacement, isSnippet);
}

QList<DictionaryEntry> HistoryStorePipelineHistory::dictionaryEntries() const { return m_store->dictionaryEntries(); }

void EvaluatingPipelineServices::recordEvaluation(const TranscriptionResult& result) {
    EvalHarness::shared().record(result);
}
int EvaluatingPipelineServices::evaluatedDictations() const { return EvalHarness::shared().totalDictations(); }
void EvaluatingPipelineServices::printEvaluationReport() { EvalHarness::shared().printReport(); }
