#include "App/DictationShellPipeline.h"

DictationShellPipeline::DictationShellPipeline(std::unique_ptr<DictationPipeline> pipeline)
    : m_pipeline(std::move(pipeline)) {}

DictationShellPipeline::~DictationShellPipeline() = default;

QCoro::Task<> DictationShellPipeline::setup() { return m_pipeline->setup(); }

std::vector<AudioDeviceInfo> DictationShellPipeline::listInputDevices() const {
    return AudioEngine::listInputDevices();
}

bool DictationShellPipeline::observeChanges(QObject* context, std::function<void()> changed) {
    DictationPipeline* p = m_pipeline.get();
    QObject::connect(p, &DictationPipeline::statusChanged, context, [changed] { changed(); });
    QObject::connect(p, &DictationPipeline::typingSuggestionChanged, context, changed);
    QObject::connect(p, &DictationPipeline::persistentModeChanged, context, changed);
    QObject::connect(p, &DictationPipeline::settingsChanged, context, changed);
    return true;
}
