#pragma once

#include "Core/Desktop/AbstractAppDetector.h"
#include "Core/Desktop/AbstractContextEngine.h"
#include "Core/Desktop/AbstractContextReader.h"
#include "Core/Desktop/AbstractKeyboardMonitor.h"
#include "Core/Desktop/AbstractScreenCaptureEngine.h"
#include "Core/Desktop/AbstractTextInserter.h"
#include "Core/Formatting/TextFormatterProtocol.h"
#include "Core/Pipeline/DictationPipeline.h"
#include "Models/VantroseSettings.h"

#include <QObject>

#include <memory>

class HistoryStore;

// The collaborators of the real dictation pipeline: the microphone, the desktop's keyboard,
// paste, focus and context readers, the on-device recogniser for the settings' language (live
// text and a batch tier), the tiered batch recognition, the adaptive formatter, the streaming
// connection to the configured server and the history database.
DictationPipeline::Collaborators makeDesktopPipelineCollaborators(const VantroseSettings& settings);
// The same around the given history.
DictationPipeline::Collaborators makeDesktopPipelineCollaborators(const VantroseSettings& settings,
                                                                  std::unique_ptr<AbstractPipelineHistory> history);

// The server of the cloud formatter, asked at set-up whether it formats and then sent every
// formatting request: the account's server (the user default "cloudServerURL") when one is set,
// as for every request that carries the account, else the settings' server.
QString cloudFormatterServerURL(const VantroseSettings& settings);

// The one pipeline of the process, built on those collaborators. Nothing is started until its
// setup() runs.
std::unique_ptr<DictationPipeline> assembleDictationPipeline(VantroseSettings settings, QObject* parent = nullptr);

// The same pipeline with the history database behind its history, which the history window reads.
struct AssembledDictation {
    std::unique_ptr<DictationPipeline> pipeline;
    HistoryStore* historyStore = nullptr;  // owned by the pipeline's history
};
AssembledDictation assembleDictation(VantroseSettings settings, QObject* parent = nullptr);
