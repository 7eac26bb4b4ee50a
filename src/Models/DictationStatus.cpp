#include "Models/DictationStatus.h"

#include <iterator>

namespace {

// Raw values indexed by case; lookup by raw value is an exact match over the same table.
template <typename T, size_t N>
std::optional<T> lookup(const char* const (&names)[N], const QString& raw) {
    for (size_t i = 0; i < N; ++i) {
        if (raw == QLatin1StringView(names[i])) return T(static_cast<typename T::Value>(i));
    }
    return std::nullopt;
}

constexpr const char* kDictationStatusNames[] = {
    "idle",     "initializing", "listening", "paused",    "stopping", "processing",
    "retrying", "inserting",    "error",     "dismissed", "testing",
};
constexpr const char* kPipelineStepNames[] = {
    "idle", "listening", "transcribing", "formatting", "inserting", "done",
};
constexpr const char* kResponseStatusNames[] = {
    "RAW_TRANSCRIPT", "FORMATTED", "ERROR", "EMPTY", "NO_AUDIO", "FALLBACK", "DISMISSED",
};

static_assert(std::size(kDictationStatusNames) == DictationStatus::testing + 1);
static_assert(std::size(kPipelineStepNames) == PipelineStep::done + 1);
static_assert(std::size(kResponseStatusNames) == ResponseStatus::dismissed + 1);

}  // namespace

QString DictationStatus::rawValue() const { return QLatin1StringView(kDictationStatusNames[m_value]); }
std::optional<DictationStatus> DictationStatus::fromRawValue(const QString& raw) {
    return lookup<DictationStatus>(kDictationStatusNames, raw);
}

QString PipelineStep::rawValue() const { return QLatin1StringView(kPipelineStepNames[m_value]); }
std::optional<PipelineStep> PipelineStep::fromRawValue(const QString& raw) {
    return lookup<PipelineStep>(kPipelineStepNames, raw);
}

QString ResponseStatus::rawValue() const { return QLatin1StringView(kResponseStatusNames[m_value]); }
std::optional<ResponseStatus> ResponseStatus::fromRawValue(const QString& raw) {
    return lookup<ResponseStatus>(kResponseStatusNames, raw);
}
