#pragma once

#include <QString>

#include <chrono>
#include <functional>
#include <vector>

class LoopbackVendorServer;

// A signed-in account on `server`, which is also the server every client of the program talks
// to: the account server, the streaming endpoint and the settings' server. Reports a failure to
// the running test when the settings file cannot be written.
void seedSignedInAccount(LoopbackVendorServer& server);

// The sentence as a speaker says it into the microphone: a short silence before, a longer one after.
std::vector<float> spokenSentence(const QString& sentence);

// Presses the hotkey through `key(true)`, waits until `listening()` holds, plays `samples` into
// the virtual microphone and lets the key go. On failure the key is released and the reason
// returned; an empty text on success.
QString holdKeyAndSpeak(const std::function<bool(bool down)>& key, const std::function<bool()>& listening,
                        const std::vector<float>& samples, std::chrono::milliseconds deadline);
