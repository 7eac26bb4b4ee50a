#pragma once

#include <QString>

// Where the streaming connection to the speech server stands, as the transport keeps it and the
// pipeline reads it.
enum class StreamingState { disconnected, connecting, connected, streaming, committed };

// The state's name as log lines print it ("connecting").
QString streamingStateName(StreamingState state);
