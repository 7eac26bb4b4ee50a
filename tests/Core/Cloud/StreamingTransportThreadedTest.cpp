#include "Core/Cloud/StreamingTransport.h"

#include "support/LoopbackStreamingServer.h"
#include "support/LoopbackVendorServer.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <thread>

using State = StreamingTransport::State;
using namespace std::chrono_literals;

namespace {

// Each chunk carries its sequence number in its first two samples (thousands, units).
std::vector<float> numberedChunk(int n) {
    std::vector<float> chunk(640, 0.0f);
    chunk[0] = static_cast<float>(n % 1000) / 1000.0f;
    chunk[1] = static_cast<float>(n / 1000) / 1000.0f;
    return chunk;
}

int numberOf(const QByteArray& frame) {
    auto sample = [&frame](int i) {
        const auto v = static_cast<std::int16_t>(static_cast<std::uint8_t>(frame[2 * i]) |
                                                 static_cast<std::uint8_t>(frame[2 * i + 1]) << 8);
        return static_cast<int>(std::lround(v * 1000.0 / 32767.0));
    };
    return sample(1) * 1000 + sample(0);
}

}  // namespace

// The capture thread keeps handing chunks over while the main thread starts sessions, loses the
// connection and reconnects. Every frame must arrive whole, in the order it was accepted, and
// the shared state must stay race-free (this file runs under ThreadSanitizer in CI).
TEST(StreamingTransportThreadedTest, ChunksFromAnotherThreadWhileTheSocketReconnects) {
    LoopbackVendorServer http;
    ASSERT_TRUE(http.start());
    LoopbackStreamingServer server(http);
    server.setHandshakeDelayMs(30);  // leaves time for chunks to pile up while connecting

    StreamingTransport::Tuning tuning;
    tuning.heartbeatInterval = std::chrono::milliseconds(50);
    tuning.heartbeatTimeout = std::chrono::seconds(1);
    tuning.initialReconnectDelay = std::chrono::milliseconds(20);
    tuning.maxReconnectDelay = std::chrono::milliseconds(50);
    StreamingTransport::Credentials credentials;
    credentials.deviceID = [] { return QStringLiteral("device"); };
    credentials.accessToken = [] { return std::optional<QString>(); };
    StreamingTransport transport(http.baseUrl(), tuning, credentials);
    std::atomic<int> disconnects{0};
    transport.onDisconnect = [&] { disconnects.fetch_add(1); };

    transport.connect();
    ASSERT_TRUE(waitUntil([&] { return transport.state() == State::connected; }));

    std::atomic<bool> stop{false};
    std::atomic<int> produced{0};
    std::thread capture([&] {
        int n = 0;
        while (!stop.load()) {
            transport.sendAudioChunk(numberedChunk(n++));
            produced.store(n);
            // Readers on this thread too, as the pipeline's chunk path does.
            (void)transport.state();
            (void)transport.chunksSent();
            (void)transport.isSessionInterrupted();
            std::this_thread::sleep_for(1ms);  // paces the producer, like the 40 ms chunks do
        }
    });

    constexpr int kRounds = 6;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        const int handshakes = server.handshakeCount();
        const auto framesBefore = server.audioFrames().size();
        if (round % 2 == 0) {
            transport.beginNewSession();  // reuses the open connection
        } else {
            transport.disconnect();  // the new session has to connect: chunks are buffered
            transport.beginNewSession();
        }
        ASSERT_TRUE(waitUntil([&] { return server.audioFrames().size() >= framesBefore + 10; }));
        server.abortClients();  // lost while streaming: the transport reconnects on its own
        ASSERT_TRUE(waitUntil([&] {
            return server.handshakeCount() > handshakes + (round % 2) && transport.state() == State::connected;
        }));
    }
    stop.store(true);
    capture.join();

    EXPECT_GE(disconnects.load(), 1);
    std::map<int, int> lastNumberOfConnection;
    int frames = 0;
    for (const auto& frame : server.frames()) {
        if (!frame.binary) continue;
        ++frames;
        ASSERT_EQ(frame.data.size(), 1280);
        const int n = numberOf(frame.data);
        auto it = lastNumberOfConnection.find(frame.connection);
        if (it != lastNumberOfConnection.end()) {
            EXPECT_GT(n, it->second) << "connection " << frame.connection;
        }
        lastNumberOfConnection[frame.connection] = n;
    }
    EXPECT_GE(frames, kRounds * 10);
    EXPECT_LE(frames, produced.load());
}
