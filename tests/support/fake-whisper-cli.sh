#!/usr/bin/env bash
# Stands in for whisper.cpp's whisper-cli in tests. Behaviour, from the environment:
#   FAKE_WHISPER_ARGS_FILE  append the arguments here, one per line
#   FAKE_WHISPER_TEXT       the transcript to write (default: "heard <n> samples" from the WAV size)
#   FAKE_WHISPER_EXIT       exit with this status after printing an error (no transcript)
#   FAKE_WHISPER_SLEEP      seconds to wait before answering
#   FAKE_WHISPER_NO_OUTPUT  when set, write no transcript file
#   FAKE_WHISPER_NOISE_KB   write this many KiB to standard output and standard error first
set -u
if [ -n "${FAKE_WHISPER_ARGS_FILE:-}" ]; then printf '%s\n' "$@" >>"$FAKE_WHISPER_ARGS_FILE"; fi

model="" input="" base="" txt=0
while [ $# -gt 0 ]; do
  case "$1" in
    -m|--model) model="$2"; shift 2 ;;
    -f|--file) input="$2"; shift 2 ;;
    -of|--output-file) base="$2"; shift 2 ;;
    -l|--language) shift 2 ;;
    -otxt|--output-txt) txt=1; shift ;;
    -nt|--no-timestamps|-ng|--no-gpu) shift ;;
    *) echo "error: unknown argument: $1" >&2; exit 1 ;;
  esac
done

if [ -n "${FAKE_WHISPER_NOISE_KB:-}" ]; then
  head -c "$((FAKE_WHISPER_NOISE_KB * 1024))" /dev/zero | tr '\0' 'x'
  head -c "$((FAKE_WHISPER_NOISE_KB * 1024))" /dev/zero | tr '\0' 'y' >&2
fi
if [ -n "${FAKE_WHISPER_SLEEP:-}" ]; then sleep "$FAKE_WHISPER_SLEEP"; fi
if [ -n "${FAKE_WHISPER_EXIT:-}" ]; then echo "error: failed to process audio" >&2; exit "$FAKE_WHISPER_EXIT"; fi
[ -f "$model" ] || { echo "error: failed to load model '$model'" >&2; exit 2; }
[ "$(head -c 4 "$input")" = "RIFF" ] || { echo "error: not a WAV file" >&2; exit 3; }

if [ "$txt" = 1 ] && [ -z "${FAKE_WHISPER_NO_OUTPUT:-}" ]; then
  if [ -n "${FAKE_WHISPER_TEXT+x}" ]; then
    printf '%s\n' "$FAKE_WHISPER_TEXT" >"$base.txt"
  else
    size=$(stat -c %s "$input")
    printf ' heard %d samples\n' "$(((size - 44) / 2))" >"$base.txt"
  fi
fi
echo "transcript done"
