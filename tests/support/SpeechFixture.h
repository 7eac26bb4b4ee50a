#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// Speech made at test time: flite speaks the text, sox turns it into 16 kHz mono samples.
// Results are cached per process, keyed by voice and text.
namespace SpeechFixture {

// True when flite and sox are on PATH.
bool toolsAvailable();
// The spoken sentence as float samples in -1..1 (empty when the tools fail).
std::vector<float> speak(const QString& text, const QString& voice = QStringLiteral("slt"));
// Silence of the given length.
std::vector<float> silence(double seconds);
// Word error rate of `hypothesis` against `reference` (case and punctuation ignored).
double wordErrorRate(const QString& reference, const QString& hypothesis);
// Sentences that the on-device model recognises reliably when flite speaks them.
QStringList sentences();

// A long recording: the sentences in turn, in each voice in turn, 0.3 s of silence after each,
// until it lasts at least `seconds`. `transcript` gets the words spoken, in order.
std::vector<float> longSpeech(double seconds, QString* transcript = nullptr);

}  // namespace SpeechFixture
