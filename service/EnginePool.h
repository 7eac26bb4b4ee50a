#pragma once

#include <QString>

#include <chrono>
#include <memory>

class PocketSphinxASR;
class EngineLease;

// The service's recognisers. At most `maxInUse` are handed out at once and up to `maxIdle` are
// kept between dictations. Each one is handed out as an EngineLease, its only holder: the lease
// gives it back when the lease goes, once, so no count can drift and no recogniser serves two
// holders. A recogniser lets its decoder (about 80 MB) go once it has been unused for
// `releaseDecoderAfter`, as the program's own does; the next dictation loads it again. Main
// thread only.
class EnginePool {
public:
    struct Options {
        QString modelDir;
        int maxInUse = 8;
        int maxIdle = 1;
        std::chrono::milliseconds releaseDecoderAfter = std::chrono::seconds(30);
    };

    explicit EnginePool(Options options);
    ~EnginePool();
    EnginePool(const EnginePool&) = delete;
    EnginePool& operator=(const EnginePool&) = delete;

    // A recogniser; an empty lease when every one is busy or the model is missing.
    EngineLease acquire();

    int inUse() const;
    int idle() const;
    // The counts agree with each other and with the cap: every recogniser handed out has one
    // lease, none of them is also idle, and nothing was given back that was not handed out.
    bool consistent() const;
    // Decoders loaded in every recogniser the pool holds or has handed out (waits for each
    // recogniser's queued work). For tests.
    int loadedDecoders() const;

private:
    friend class EngineLease;
    struct State;
    std::shared_ptr<State> m_state;
};

// The one holder of a recogniser handed out by an EnginePool. Move-only; the recogniser goes back
// to the pool when the lease is destroyed or reset, and a pool that is gone by then just lets it
// go. Work still running on the recogniser may keep the object alive through engine(), but only
// the lease counts as holding it.
class EngineLease {
public:
    EngineLease() = default;
    EngineLease(EngineLease&& other) noexcept;
    EngineLease& operator=(EngineLease&& other) noexcept;
    EngineLease(const EngineLease&) = delete;
    EngineLease& operator=(const EngineLease&) = delete;
    ~EngineLease();

    explicit operator bool() const { return m_engine != nullptr; }
    const std::shared_ptr<PocketSphinxASR>& engine() const { return m_engine; }
    PocketSphinxASR* operator->() const { return m_engine.get(); }
    // Gives the recogniser back now; the lease is empty afterwards.
    void reset();

private:
    friend class EnginePool;
    EngineLease(std::weak_ptr<EnginePool::State> pool, std::shared_ptr<PocketSphinxASR> engine);

    std::weak_ptr<EnginePool::State> m_pool;
    std::shared_ptr<PocketSphinxASR> m_engine;
};
