#pragma once

#include <QLoggingCategory>

// The log categories of the core, named "vantrose.<Component>" (Foundation/Logger.h). The settings
// store and the learning log as "Pipeline", as the pipeline does.
Q_DECLARE_LOGGING_CATEGORY(lcAdaptiveFormatter)
Q_DECLARE_LOGGING_CATEGORY(lcAnalytics)
Q_DECLARE_LOGGING_CATEGORY(lcAudioEngine)
Q_DECLARE_LOGGING_CATEGORY(lcCloudASR)
Q_DECLARE_LOGGING_CATEGORY(lcCloudLLMFormatter)
Q_DECLARE_LOGGING_CATEGORY(lcContextEngine)
Q_DECLARE_LOGGING_CATEGORY(lcFeatureFlags)
Q_DECLARE_LOGGING_CATEGORY(lcFileTagCache)
Q_DECLARE_LOGGING_CATEGORY(lcKeyboardMonitor)
Q_DECLARE_LOGGING_CATEGORY(lcLatencyMetrics)
Q_DECLARE_LOGGING_CATEGORY(lcMicTiming)
Q_DECLARE_LOGGING_CATEGORY(lcNetworkSession)
Q_DECLARE_LOGGING_CATEGORY(lcOllamaLLM)
Q_DECLARE_LOGGING_CATEGORY(lcPipeline)
Q_DECLARE_LOGGING_CATEGORY(lcPocketSphinxASR)
Q_DECLARE_LOGGING_CATEGORY(lcRetryEngine)
Q_DECLARE_LOGGING_CATEGORY(lcRuleBasedFormatter)
Q_DECLARE_LOGGING_CATEGORY(lcStreamingTransport)
Q_DECLARE_LOGGING_CATEGORY(lcTypingReminder)
Q_DECLARE_LOGGING_CATEGORY(lcUserTextReplacements)
Q_DECLARE_LOGGING_CATEGORY(lcWhisperASR)
