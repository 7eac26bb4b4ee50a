#include "Models/StreamingState.h"

QString streamingStateName(StreamingState state) {
    switch (state) {
    case StreamingState::disconnected: return QStringLiteral("disconnected");
    case StreamingState::connecting: return QStringLiteral("connecting");
    case StreamingState::connected: return QStringLiteral("connected");
    case StreamingState::streaming: return QStringLiteral("streaming");
    case StreamingState::committed: return QStringLiteral("committed");
    }
    return QStringLiteral("disconnected");
}
