#pragma once

#include "App/AbstractShellPipeline.h"
#include "Core/Pipeline/DictationPipeline.h"

#include <memory>

// The shell's view of the real dictation pipeline. Owns it for the life of the process.
class DictationShellPipeline final : public AbstractShellPipeline {
public:
    explicit DictationShellPipeline(std::unique_ptr<DictationPipeline> pipeline);
    ~DictationShellPipeline() override;

    DictationStatus status() const override { return m_pipeline->status(); }
    bool isPersistentMode() const override { return m_pipeline->isPersistentMode(); }
    bool hasTypingSuggestion() const override { return m_pipeline->typingSuggestion().has_value(); }
    QString currentDictationID() const override { return m_pipeline->currentTraceID(); }
    const VantroseSettings& settings() const override { return m_pipeline->settings(); }
    void setSettings(const VantroseSettings& settings) override { m_pipeline->setSettings(settings); }
    QCoro::Task<> setup() override;
    void teardown() override { m_pipeline->teardown(); }
    void setAccountSignedIn(bool signedIn) override { m_pipeline->setAccountSignedIn(signedIn); }
    void startDictation() override { m_pipeline->startDictation(); }
    void stopDictation() override { m_pipeline->stopDictation(); }
    void setMicDevice(const std::optional<QString>& uid) override { m_pipeline->setMicDevice(uid); }
    std::vector<AudioDeviceInfo> listInputDevices() const override;

    // The pipeline itself, for the views that show its published state.
    DictationPipeline& pipeline() { return *m_pipeline; }

    bool observeChanges(QObject* context, std::function<void()> changed) override;

private:
    std::unique_ptr<DictationPipeline> m_pipeline;
};
