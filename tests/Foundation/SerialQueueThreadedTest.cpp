#include "Foundation/SerialQueue.h"

#include <atomic>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

// A job that has run may let its owner destroy the queue at once (the logger at exit, a store
// closed after its last write), even while the thread that submitted the job is still on its way
// out of async(): by then async() must be done with the queue.
TEST(SerialQueueThreadedTest, TheQueueMayGoAsSoonAsItsJobHasRun) {
    for (int round = 0; round < 200; ++round) {
        auto queue = std::make_unique<SerialQueue>("com.vantrose.test");
        SerialQueue* submitted = queue.get();
        std::atomic<bool> ran{false};
        std::thread submitter([submitted, &ran] { submitted->async([&ran] { ran.store(true); }); });
        while (!ran.load()) std::this_thread::yield();
        queue.reset();
        submitter.join();
    }
}
