#pragma once

#include <functional>

// Runs a function once, some seconds from now, on the main thread. Services that wait (the
// lifetime of a shown suggestion, the outcome snapshots) take one, so tests can drive the
// waits with a manual clock instead of sleeping.
using DelayedCall = std::function<void(double seconds, std::function<void()> fn)>;

// The real waits: a single-shot timer on the main thread.
DelayedCall timerDelayedCall();
