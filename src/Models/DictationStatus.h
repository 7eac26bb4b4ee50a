#pragma once

#include "Models/RawValue.h"

#include <cstdint>

// Where a dictation stands. The raw values are the texts log lines print (RawValue.h).

// The state the pipeline publishes and the menu-bar item and the overlay show.
enum class DictationStatus : std::uint8_t {
    idle,          // waiting for a hotkey
    initializing,  // starting a dictation
    listening,     // recording
    paused,        // holding a hands-free recording without capturing
    stopping,      // stopping the microphone after the key was released
    processing,    // turning the audio into text
    retrying,      // reporting a failed attempt before it shows the error
    inserting,     // pasting the text
    error,         // showing a failure
    dismissed,     // showing a cancelled dictation
    testing,       // entered by no transition of the pipeline
};

template <>
struct RawValueTable<DictationStatus> {
    using S = DictationStatus;
    static constexpr std::pair<S, const char*> cases[] = {
        {S::idle, "idle"},           {S::initializing, "initializing"}, {S::listening, "listening"},
        {S::paused, "paused"},       {S::stopping, "stopping"},         {S::processing, "processing"},
        {S::retrying, "retrying"},   {S::inserting, "inserting"},       {S::error, "error"},
        {S::dismissed, "dismissed"}, {S::testing, "testing"},
    };
};

// The coarser stage the pipeline publishes beside its status.
enum class PipelineStep : std::uint8_t { idle, listening, transcribing, formatting, inserting, done };

template <>
struct RawValueTable<PipelineStep> {
    using S = PipelineStep;
    static constexpr std::pair<S, const char*> cases[] = {
        {S::idle, "idle"},
        {S::listening, "listening"},
        {S::transcribing, "transcribing"},
        {S::formatting, "formatting"},
        {S::inserting, "inserting"},
        {S::done, "done"},
    };
};

// The outcome kept with a finished dictation.
enum class ResponseStatus : std::uint8_t { rawTranscript, formatted, error, empty, noAudio, fallback, dismissed };

template <>
struct RawValueTable<ResponseStatus> {
    using S = ResponseStatus;
    static constexpr std::pair<S, const char*> cases[] = {
        {S::rawTranscript, "RAW_TRANSCRIPT"},
        {S::formatted, "FORMATTED"},
        {S::error, "ERROR"},
        {S::empty, "EMPTY"},
        {S::noAudio, "NO_AUDIO"},
        {S::fallback, "FALLBACK"},
        {S::dismissed, "DISMISSED"},
    };
};
