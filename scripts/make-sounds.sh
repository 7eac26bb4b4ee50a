#!/usr/bin/env bash
# Synthesises the feedback sounds in resources/sounds with sox. The WAV files are committed;
# run this again only to change them.
set -euo pipefail
cd "$(dirname "$0")/.."
out=resources/sounds
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# tone <file> <seconds> <frequency> [volume]: a sine with soft edges.
tone() {
  sox -q -R -D -n -r 44100 -c 1 -b 16 "$1" synth "$2" sine "$3" fade q 0.005 "$2" "$(awk "BEGIN { print $2 * 0.6 }")" vol "${4:-0.6}"
}
gap() { sox -q -R -D -n -r 44100 -c 1 -b 16 "$1" trim 0 "$2"; }

# Start-up: a rising two-note chime.
tone "$tmp/s1.wav" 0.16 659.25
tone "$tmp/s2.wav" 0.32 987.77
sox -q -R -D "$tmp/s1.wav" "$tmp/s2.wav" "$out/startup.wav"

# Dictation on/off: one short, soft blip.
tone "$out/vantrose_on_off_sound.wav" 0.07 880 0.5

# Paste: two quick rising blips.
tone "$tmp/p1.wav" 0.05 1046.5 0.45
gap "$tmp/pg.wav" 0.03
tone "$tmp/p2.wav" 0.07 1396.9 0.45
sox -q -R -D "$tmp/p1.wav" "$tmp/pg.wav" "$tmp/p2.wav" "$out/paste.wav"

# Discarded dictation: a falling pair of low tones.
tone "$tmp/e1.wav" 0.12 392 0.55
tone "$tmp/e2.wav" 0.18 261.6 0.55
sox -q -R -D "$tmp/e1.wav" "$tmp/e2.wav" "$out/error.wav"

# Onboarding, first appearance: a slow rising arpeggio that rings out.
tone "$tmp/o1.wav" 0.14 523.25 0.4
tone "$tmp/o2.wav" 0.14 659.25 0.4
tone "$tmp/o3.wav" 0.14 783.99 0.4
tone "$tmp/o4.wav" 0.5 1046.5 0.4
sox -q -R -D "$tmp/o1.wav" "$tmp/o2.wav" "$tmp/o3.wav" "$tmp/o4.wav" "$out/vantrose_first_onboarding_sound.wav"

# Onboarding, a step forward: one light upward flick.
sox -q -R -D -n -r 44100 -c 1 -b 16 "$out/step_forward.wav" synth 0.09 sine 740-1180 fade q 0.004 0.09 0.05 vol 0.4

# Onboarding, a permission granted or the flow finished: a soft major chord.
sox -q -R -D -n -r 44100 -c 1 -b 16 "$out/complete.wav" synth 0.6 sine 523.25 sine 659.25 sine 783.99 \
  remix - fade q 0.01 0.6 0.45 vol 0.45

# Every sound ends in 0.3 s of silence: Qt's sound player on PulseAudio stops its stream as soon
# as the file has been read, which swallowed a sound shorter than the stream's buffer (the first
# one a process played, most of the later ones). With the tail, the sound itself always plays.
for f in "$out"/*.wav; do
  sox -q -R -D "$f" "$tmp/padded.wav" pad 0 0.3
  mv "$tmp/padded.wav" "$f"
done

ls -l "$out"
