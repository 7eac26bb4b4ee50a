#pragma once

#include "Models/RawValue.h"

// Where the streaming connection to the speech server stands, as the transport keeps it and the
// pipeline reads it. The raw values are the case names, as log lines print them ("connecting").
enum class StreamingState { disconnected, connecting, connected, streaming, committed };

template <>
struct RawValueTable<StreamingState> {
    using S = StreamingState;
    static constexpr std::pair<S, const char*> cases[] = {{S::disconnected, "disconnected"},
                                                          {S::connecting, "connecting"},
                                                          {S::connected, "connected"},
                                                          {S::streaming, "streaming"},
                                                          {S::committed, "committed"}};
};
