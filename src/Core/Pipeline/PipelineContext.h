#pragma once

#include "Core/Pipeline/DictationPipeline.h"
#include "Core/Pipeline/FormatterChoice.h"
#include "Core/Pipeline/PasteQueue.h"
#include "Core/Pipeline/PipelineCollaborators.h"
#include "Core/Pipeline/StatusPublisher.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class AbstractAppDetector;
class AbstractContextEngine;
class AbstractContextReader;
class AbstractKeyboardMonitor;
class AbstractScreenCaptureEngine;
class AbstractTextInserter;
class SettingsStore;

// What the parts of the pipeline share: the collaborators it was given, the formatter in use,
// the pastes in turn and the publisher of the state the views read. DictationPipeline owns it;
// the parts hold a reference and never outlive it. Only the pipeline's sources include this.
struct PipelineContext {
    // Takes the collaborators out of `c`. `pipeline` is the facade that owns this context.
    PipelineContext(DictationPipeline::Collaborators& c, SettingsStore& store, QObject* pipeline);
    ~PipelineContext();
    PipelineContext(const PipelineContext&) = delete;
    PipelineContext& operator=(const PipelineContext&) = delete;

    const VantroseSettings& settings() const;
    // A behaviour the settings pane switches; its feature switch, where Vantrose.conf sets it, wins.
    bool switchedOn(const QString& flag, bool setting) const;
    bool playsSounds() const;
    bool learnsWords() const;

    // The facade. A coroutine of a part keeps a QPointer to it and goes on after a suspension
    // only while the pipeline is still there; the capture thread's messages are queued to it.
    QObject* const pipeline;
    SettingsStore& store;
    DictationPipeline::Timings timings;

    std::unique_ptr<AbstractAudioSource> audio;
    std::unique_ptr<AbstractKeyboardMonitor> keyboardMonitor;
    std::unique_ptr<AbstractTextInserter> textInserter;
    std::unique_ptr<AbstractContextReader> contextReader;
    std::unique_ptr<AbstractAppDetector> appDetector;
    std::unique_ptr<AbstractLiveRecognizer> recognizer;
    std::unique_ptr<AbstractBatchRecognizer> batch;
    std::unique_ptr<AbstractStreamingLink> streamingLink;
    std::unique_ptr<AbstractPipelineHistory> history;
    std::unique_ptr<PipelineServices> services;
    std::function<std::unique_ptr<AbstractContextEngine>(AbstractAppDetector&, AbstractContextReader&)>
        makeContextEngine;
    std::function<std::unique_ptr<AbstractScreenCaptureEngine>()> makeScreenCaptureEngine;
    std::unique_ptr<AbstractContextEngine> contextEngine;  // made at set-up

    FormatterChoice formatters;
    PasteQueue pastes;
    StatusPublisher publisher;
    // Signed out, nothing that carries the account is used: the streaming connection stays
    // closed and dictations take the batch road.
    bool signedOut = false;
};
