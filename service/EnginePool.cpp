#include "EnginePool.h"

#include "Core/ASR/PocketSphinxASR.h"

#include <QLocale>

#include <algorithm>
#include <unordered_set>
#include <utility>
#include <vector>

#include <malloc.h>

struct EnginePool::State {
    Options options;
    std::vector<std::shared_ptr<PocketSphinxASR>> idle;
    std::unordered_set<PocketSphinxASR*> leased;
    // A recogniser came back that was not handed out, or an idle one was found handed out: never,
    // while leases are the only holders. consistent() reports it.
    bool strayReturn = false;

    void giveBack(std::shared_ptr<PocketSphinxASR> engine) {
        if (leased.erase(engine.get()) == 0) {
            strayReturn = true;
            return;
        }
        if (static_cast<int>(idle.size()) < options.maxIdle) idle.push_back(std::move(engine));
    }
};

EnginePool::EnginePool(Options options) : m_state(std::make_shared<State>()) { m_state->options = std::move(options); }

EnginePool::~EnginePool() = default;

EngineLease EnginePool::acquire() {
    State& state = *m_state;
    if (static_cast<int>(state.leased.size()) >= state.options.maxInUse) return {};
    std::shared_ptr<PocketSphinxASR> engine;
    if (!state.idle.empty()) {
        engine = std::move(state.idle.back());
        state.idle.pop_back();
    } else {
        // A recogniser's decoder was freed into its worker's memory arena: once the last
        // reference goes, the pages go back to the system, not only to the allocator.
        engine = std::shared_ptr<PocketSphinxASR>(
            new PocketSphinxASR(QLocale(QLocale::English, QLocale::UnitedStates),
                                PocketSphinxASR::OnDemand{state.options.releaseDecoderAfter}, state.options.modelDir),
            [](PocketSphinxASR* gone) {
                delete gone;
                malloc_trim(0);
            });
        if (!engine->isAvailable()) return {};
    }
    if (!state.leased.insert(engine.get()).second) {
        // Cannot happen while leases are the only holders; refuse rather than share.
        state.strayReturn = true;
        return {};
    }
    return EngineLease(m_state, std::move(engine));
}

int EnginePool::inUse() const { return static_cast<int>(m_state->leased.size()); }

int EnginePool::idle() const { return static_cast<int>(m_state->idle.size()); }

bool EnginePool::consistent() const {
    const State& state = *m_state;
    if (state.strayReturn || inUse() > state.options.maxInUse || idle() > state.options.maxIdle) return false;
    return std::none_of(state.idle.begin(), state.idle.end(),
                        [&](const std::shared_ptr<PocketSphinxASR>& e) { return state.leased.count(e.get()) > 0; });
}

int EnginePool::loadedDecoders() const {
    int count = 0;
    for (const auto& engine : m_state->idle) count += engine->loadedDecoders();
    // Handed-out recognisers are alive while their leases are.
    for (PocketSphinxASR* engine : m_state->leased) count += engine->loadedDecoders();
    return count;
}

// ---------------------------------------------------------------- lease

EngineLease::EngineLease(std::weak_ptr<EnginePool::State> pool, std::shared_ptr<PocketSphinxASR> engine)
    : m_pool(std::move(pool)),
      m_engine(std::move(engine)) {}

EngineLease::EngineLease(EngineLease&& other) noexcept
    : m_pool(std::move(other.m_pool)),
      m_engine(std::move(other.m_engine)) {}

EngineLease& EngineLease::operator=(EngineLease&& other) noexcept {
    if (this != &other) {
        reset();
        m_pool = std::move(other.m_pool);
        m_engine = std::move(other.m_engine);
    }
    return *this;
}

EngineLease::~EngineLease() { reset(); }

void EngineLease::reset() {
    std::shared_ptr<PocketSphinxASR> engine = std::exchange(m_engine, nullptr);
    if (!engine) return;
    if (const std::shared_ptr<EnginePool::State> pool = m_pool.lock()) pool->giveBack(std::move(engine));
}
