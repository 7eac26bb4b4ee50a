#include "support/FakeScreenCaptureEngine.h"

#include <stdexcept>

FakeScreenCaptureEngine::FakeScreenCaptureEngine(std::shared_ptr<Script> script) : m_script(std::move(script)) {
    ++m_script->enginesMade;
}

QCoro::Task<ScreenCaptureResult> FakeScreenCaptureEngine::captureAndExtract(QString appBundleId) {
    // The script outlives the engine, so the answer stays valid even if the engine goes first.
    std::shared_ptr<Script> script = m_script;
    script->requestedBundleIds.append(appBundleId);
    co_await pause(script->delay);
    if (script->failure) throw std::runtime_error(script->failure->toStdString());
    co_return ScreenCaptureResult(script->result);  // copy: g++ 12 moves from any co_return operand
}

FakeScreenCaptureEngine::Factory FakeScreenCaptureEngine::factory(std::shared_ptr<Script> script) {
    return [script] { return std::make_unique<FakeScreenCaptureEngine>(script); };
}
