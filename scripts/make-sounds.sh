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

ls -l "$out"
