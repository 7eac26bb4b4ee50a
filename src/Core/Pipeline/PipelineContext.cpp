#include "Core/Pipeline/PipelineContext.h"

#include "Core/Desktop/AbstractAppDetector.h"
#include "Core/Desktop/AbstractContextEngine.h"
#include "Core/Desktop/AbstractContextReader.h"
#include "Core/Desktop/AbstractKeyboardMonitor.h"
#include "Core/Desktop/AbstractScreenCaptureEngine.h"
#include "Core/Desktop/AbstractTextInserter.h"
#include "Core/Services/SettingsStore.h"

PipelineContext::PipelineContext(DictationPipeline::Collaborators& c, SettingsStore& store, QObject* pipeline)
    : pipeline(pipeline),
      store(store),
      audio(std::move(c.audio)),
      keyboardMonitor(std::move(c.keyboardMonitor)),
      textInserter(std::move(c.textInserter)),
      contextReader(std::move(c.contextReader)),
      appDetector(std::move(c.appDetector)),
      recognizer(std::move(c.recognizer)),
      batch(std::move(c.batchRecognizer)),
      streamingLink(std::move(c.streamingLink)),
      history(std::move(c.history)),
      services(c.services ? std::move(c.services) : std::make_unique<PipelineServices>()),
      makeContextEngine(std::move(c.makeContextEngine)),
      makeScreenCaptureEngine(std::move(c.makeScreenCaptureEngine)),
      formatters(std::move(c.formatter), std::move(c.probeCloudFormatter)),
      pastes(*textInserter, pipeline) {
    Q_ASSERT(audio && keyboardMonitor && textInserter && contextReader && appDetector && recognizer && batch &&
             streamingLink && history);
}

PipelineContext::~PipelineContext() = default;

const VantroseSettings& PipelineContext::settings() const { return store.settings(); }

bool PipelineContext::switchedOn(const QString& flag, bool setting) const {
    return services->flagSetting(flag).value_or(setting);
}

bool PipelineContext::playsSounds() const {
    return switchedOn(QStringLiteral("sound-effects"), settings().soundsEnabled);
}

bool PipelineContext::learnsWords() const {
    return switchedOn(QStringLiteral("auto-learn-words"), settings().autoLearnWords);
}
