#include "Core/Pipeline/FormatterChoice.h"

#include "Core/LogCategories.h"
#include "Core/Pipeline/PipelineSupport.h"
#include "Foundation/Logger.h"

FormatterChoice::FormatterChoice(std::shared_ptr<TextFormatterProtocol> local, Probe probe)
    : m_current(local),
      m_local(std::move(local)),
      m_probe(std::move(probe)) {
    Q_ASSERT(m_current);
}

std::shared_ptr<TextFormatterProtocol> FormatterChoice::forDictation(bool aiFormatting) const {
    if (aiFormatting) return m_current;
    return m_rules;
}

void FormatterChoice::use(std::shared_ptr<TextFormatterProtocol> cloudFormatter) {
    if (cloudFormatter) {
        m_current = std::move(cloudFormatter);
        VLOG_INFO(lcPipeline) << QStringLiteral(
            "Cloud LLM formatter available — hybrid mode (on-device ASR + cloud LLM)");
    } else {
        m_current = m_local;
        VLOG_INFO(lcPipeline) << QStringLiteral(
            "Cloud LLM not available — using on-device only (rule-based formatting)");
    }
}

void FormatterChoice::failed(const std::shared_ptr<TextFormatterProtocol>& formatter) {
    if (m_current != formatter || formatter == m_local) return;
    m_current = m_local;
    m_reprobe = true;
}

void FormatterChoice::probeIfDue(const VantroseSettings& settings) {
    if (!m_reprobe || !m_probe || m_pendingProbe) return;
    m_pendingProbe = std::make_shared<PendingProbe>();
    PipelineSupport::probeFormatter(m_probe, settings, m_pendingProbe);
}

void FormatterChoice::settle(const std::shared_ptr<PendingProbe>& probe,
                             const std::optional<std::shared_ptr<TextFormatterProtocol>>& answer) {
    if (m_pendingProbe == probe) m_pendingProbe.reset();
    if (!answer) return;
    m_reprobe = false;
    use(*answer);
}
