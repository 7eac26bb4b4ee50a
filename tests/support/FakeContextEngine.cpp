#include "support/FakeContextEngine.h"

#include <stdexcept>

QCoro::Task<TranscriptionContext>
FakeContextEngine::buildTranscriptionContext(VantroseSettings settings, const AbstractDictionarySource& dictionary) {
    buildCalls.append({std::move(settings), dictionary.dictionaryEntries()});
    const bool alive = co_await pause(delay);
    if (!alive) co_return TranscriptionContext();
    if (failure) throw std::runtime_error(failure->toStdString());
    co_return TranscriptionContext(context);  // copy: g++ 12 moves from any co_return operand
}
