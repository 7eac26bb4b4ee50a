#include "support/Pipeline/PipelineFakes.h"

#include <stdexcept>

QCoro::Task<> FakeGate::wait() {
    if (m_open) co_return;
    const auto pending = m_pending;
    ++m_waiting;
    co_await pending->value();
    --m_waiting;
}

void FakeGate::open() {
    m_open = true;
    m_pending->resolve(true);
}

void FakePipelineAudio::setChunkHandler(ChunkHandler handler) {
    std::lock_guard<std::mutex> lock(m_handlerLock);
    m_handler = std::move(handler);
}

void FakePipelineAudio::startRecording() {
    ++startCalls;
    if (startFailure) throw std::runtime_error(startFailure->toStdString());
    openedDevice = deviceForNextStart();
    recording = true;
}

std::optional<QString> FakePipelineAudio::deviceForNextStart() const {
    for (const AudioDeviceInfo& device : devices)
        if (selectedDeviceUID && device.uid == *selectedDeviceUID) return selectedDeviceUID;
    return std::nullopt;
}

void FakePipelineAudio::stopRecording() {
    ++stopCalls;
    recording = false;
}

void FakePipelineAudio::feed(int count, float amplitude) {
    ChunkHandler handler;
    {
        std::lock_guard<std::mutex> lock(m_handlerLock);
        handler = m_handler;
    }
    const AudioChunk chunk(640, amplitude);
    for (int i = 0; i < count; ++i) {
        if (!recording || !handler) return;
        handler(chunk);
    }
}

void FakePipelineAudio::feedSamples(const std::vector<float>& samples) {
    ChunkHandler handler;
    {
        std::lock_guard<std::mutex> lock(m_handlerLock);
        handler = m_handler;
    }
    for (std::size_t at = 0; at + 640 <= samples.size(); at += 640) {
        if (!recording || !handler) return;
        handler(AudioChunk(samples.begin() + long(at), samples.begin() + long(at + 640)));
    }
}

void FakeLiveRecognizer::startStreaming(PartialResultCallback onPartialResult) {
    ++startCalls;
    if (startFailure) throw std::runtime_error(startFailure->toStdString());
    onPartial = std::move(onPartialResult);
    open = true;
}

QCoro::Task<> FakeLiveRecognizer::stopStreaming() {
    ++stopCalls;
    open = false;
    co_return;
}

FakeBatchRecognizer::Answer FakeBatchRecognizer::text(const QString& text, const QString& tier, bool serverFormatted,
                                                      float confidence) {
    Answer answer;
    answer.transcription.text = text;
    answer.transcription.tier = tier;
    answer.transcription.serverFormatted = serverFormatted;
    answer.transcription.confidence = confidence;
    return answer;
}

FakeBatchRecognizer::Answer FakeBatchRecognizer::failing(const QString& message) {
    Answer answer;
    answer.failure = message;
    return answer;
}

QCoro::Task<PipelineTranscription> FakeBatchRecognizer::transcribe(std::vector<float> samples) {
    ++transcribeCalls;
    sampleCounts.push_back(samples.size());
    Answer answer = text(QStringLiteral("hello world"));
    if (!answers.empty()) {
        answer = answers.front();
        answers.pop_front();
    }
    if (const auto door = gate) co_await door->wait();
    if (answer.failure) throw std::runtime_error(answer.failure->toStdString());
    lastTier = answer.transcription.tier;
    co_return PipelineTranscription(answer.transcription);
}

void FakeStreamingLink::connect() {
    ++connectCalls;
    linkState = serverReachable ? State::connected : State::disconnected;
}

void FakeStreamingLink::beginNewSession() {
    ++beginCalls;
    sent = 0;
}

void FakeStreamingLink::resetSession() {
    ++resetCalls;
    sent = 0;
    if (linkState == State::streaming || linkState == State::committed) linkState = State::connected;
}

void FakeStreamingLink::commit(const QJsonObject& context, const QString& language) {
    commits.append({context, language});
    linkState = State::committed;
}

QStringList FakePipelineHistory::eventNames() const {
    QStringList names;
    for (const Event& e : events) names.append(e.event);
    return names;
}

QCoro::Task<> RecordingPipelineServices::refreshFlags() {
    ++refreshCalls;
    co_return;
}

QCoro::Task<std::optional<double>> RecordingPipelineServices::pingServer(QString) {
    const std::optional<QString> failureNow = pingFailure;
    if (const auto door = pingGate) co_await door->wait();
    if (failureNow) throw std::runtime_error(failureNow->toStdString());
    co_return std::optional<double>(pingAnswer);
}

QStringList RecordingPipelineServices::trackedEvents() const {
    QStringList names;
    for (const Tracked& t : tracked) names.append(t.event);
    return names;
}

QCoro::Task<FormattingResult> FakeFormatter::format(QString rawText, AppContext context, VantroseSettings) {
    ++calls;
    rawTexts.append(rawText);
    contexts.append(context);
    const std::optional<QString> failureNow = failure;
    const std::optional<QString> answerNow = answer;
    if (const auto door = gate) co_await door->wait();
    if (failureNow) throw FormatterRequestError(FormatterRequestError::Kind::transport, *failureNow);
    FormattingResult result;
    if (answerNow) {
        result.text = *answerNow;
    } else {
        QString text = rawText.trimmed();
        if (!text.isEmpty()) text[0] = text[0].toUpper();
        result.text = text + QLatin1Char('.');
    }
    result.formatterName = name;
    co_return result;
}
