#include "App/DictationShellPipeline.h"

DictationShellPipeline::DictationShellPipeline(std::unique_ptr<DictationPipeline> pipeline)
    : m_pipeline(std::move(pipeline)) {}

DictationShellPipeline::~DictationShellPipeline() = default;

QCoro::Task<> DictationShellPipeline::setup() {
    return m_pipeline->setup();
}

std::vector<AudioDeviceInfo> DictationShellPipeline::listInputDevices() const {
    return AudioEngine::listInputDevices();
}
