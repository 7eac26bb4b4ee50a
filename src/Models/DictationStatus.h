#pragma once

#include <QHashFunctions>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

// Where a dictation stands. Each type is a small class around a plain enumeration: cases read
// as DictationStatus::listening, values switch like an enum, and rawValue() is the text that
// log lines print. fromRawValue() matches exactly; any other text gives no value.

// The state the pipeline publishes and the menu-bar item and the overlay show.
class DictationStatus {
public:
    enum Value : std::uint8_t {
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

    constexpr DictationStatus() = default;  // idle
    constexpr DictationStatus(Value value) : m_value(value) {}
    constexpr operator Value() const { return m_value; }
    constexpr Value value() const { return m_value; }

    QString rawValue() const;
    static std::optional<DictationStatus> fromRawValue(const QString& raw);

private:
    Value m_value = idle;
};

// The coarser stage the pipeline publishes beside its status.
class PipelineStep {
public:
    enum Value : std::uint8_t { idle, listening, transcribing, formatting, inserting, done };

    constexpr PipelineStep() = default;  // idle
    constexpr PipelineStep(Value value) : m_value(value) {}
    constexpr operator Value() const { return m_value; }
    constexpr Value value() const { return m_value; }

    QString rawValue() const;
    static std::optional<PipelineStep> fromRawValue(const QString& raw);

private:
    Value m_value = idle;
};

// The outcome kept with a finished dictation.
class ResponseStatus {
public:
    enum Value : std::uint8_t {
        rawTranscript,  // "RAW_TRANSCRIPT"
        formatted,      // "FORMATTED"
        error,          // "ERROR"
        empty,          // "EMPTY"
        noAudio,        // "NO_AUDIO"
        fallback,       // "FALLBACK"
        dismissed,      // "DISMISSED"
    };

    constexpr ResponseStatus() = default;  // formatted
    constexpr ResponseStatus(Value value) : m_value(value) {}
    constexpr operator Value() const { return m_value; }
    constexpr Value value() const { return m_value; }

    QString rawValue() const;
    static std::optional<ResponseStatus> fromRawValue(const QString& raw);

private:
    Value m_value = formatted;
};

inline size_t qHash(DictationStatus s, size_t seed = 0) noexcept { return ::qHash(int(s.value()), seed); }
inline size_t qHash(PipelineStep s, size_t seed = 0) noexcept { return ::qHash(int(s.value()), seed); }
inline size_t qHash(ResponseStatus s, size_t seed = 0) noexcept { return ::qHash(int(s.value()), seed); }

template <>
struct std::hash<DictationStatus> {
    size_t operator()(DictationStatus s) const noexcept { return std::hash<int>()(int(s.value())); }
};
template <>
struct std::hash<PipelineStep> {
    size_t operator()(PipelineStep s) const noexcept { return std::hash<int>()(int(s.value())); }
};
template <>
struct std::hash<ResponseStatus> {
    size_t operator()(ResponseStatus s) const noexcept { return std::hash<int>()(int(s.value())); }
};
