#!/usr/bin/env bash
# Runs a command inside a private virtual desktop:
#   Xvfb + openbox, a private session D-Bus with the AT-SPI bus enabled,
#   a private PulseAudio with a null sink ("spk") and a virtual microphone ("mic") fed from a FIFO,
#   and throwaway HOME/XDG folders. Everything is torn down when the command ends.
# Tests feed the microphone by writing raw s16le 16 kHz mono audio into $VANTROSE_MIC_FIFO.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 command [args...]" >&2
  exit 2
fi

if [ -z "${VANTROSE_IN_DESKTOP:-}" ]; then
  # The private folders come first: the session bus started below passes its environment to
  # every service it activates (the accessibility bus among them), and a shared HOME would let
  # two desktops fight over one accessibility socket.
  WORK=$(mktemp -d /tmp/vantrose-desktop.XXXXXX)
  mkdir -p "$WORK/home" "$WORK/runtime" "$WORK/data" "$WORK/state" "$WORK/config" "$WORK/cache"
  chmod 700 "$WORK/runtime"
  export VANTROSE_DESKTOP_WORK="$WORK"
  export HOME="$WORK/home"
  export XDG_RUNTIME_DIR="$WORK/runtime"
  export XDG_DATA_HOME="$WORK/data" XDG_STATE_HOME="$WORK/state" XDG_CONFIG_HOME="$WORK/config" XDG_CACHE_HOME="$WORK/cache"
  export VANTROSE_IN_DESKTOP=1
  exec dbus-run-session -- "$0" "$@"
fi

WORK="$VANTROSE_DESKTOP_WORK"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  if [ -n "${PULSE_STARTED:-}" ]; then pactl exit 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# The test desktop is an X11 session; the Wayland tests start their compositors themselves.
unset WAYLAND_DISPLAY XDG_SESSION_TYPE

# --- X server: Xvfb picks a free display itself, so parallel desktops never collide.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp +extension XInputExtension +extension RANDR \
  3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
pids+=($!)
deadline=$((SECONDS + 20))
until [ -s "$WORK/display" ]; do
  [ $SECONDS -lt $deadline ] || { echo "with-desktop: Xvfb did not start" >&2; cat "$WORK/xvfb.log" >&2; exit 1; }
  sleep 0.1
done
export DISPLAY=":$(head -n1 "$WORK/display" | tr -d '[:space:]')"
until xdpyinfo >/dev/null 2>&1; do
  [ $SECONDS -lt $deadline ] || { echo "with-desktop: Xvfb is not answering" >&2; cat "$WORK/xvfb.log" >&2; exit 1; }
  sleep 0.1
done

openbox --sm-disable >"$WORK/openbox.log" 2>&1 &
pids+=($!)
deadline=$((SECONDS + 20))
until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
  [ $SECONDS -lt $deadline ] || { echo "with-desktop: openbox did not start" >&2; exit 1; }
  sleep 0.1
done

# --- Accessibility bus: enabling it starts the bus and registry without a desktop session.
export NO_AT_BRIDGE=0
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
if dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
     org.freedesktop.DBus.Properties.Set string:org.a11y.Status string:IsEnabled variant:boolean:true \
     >/dev/null 2>&1; then
  dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null 2>&1 || true
else
  echo "with-desktop: warning: the accessibility bus is not available" >&2
fi

# --- Audio: a private PulseAudio with a null sink and a FIFO-fed microphone.
export VANTROSE_MIC_FIFO="$XDG_RUNTIME_DIR/mic.fifo"
pulseaudio --daemonize=yes --exit-idle-time=-1 -n --use-pid-file=no \
  --load=module-native-protocol-unix \
  --load="module-null-sink sink_name=spk" \
  --load="module-pipe-source source_name=mic file=$VANTROSE_MIC_FIFO format=s16le rate=16000 channels=1" \
  >"$WORK/pulse.log" 2>&1 || { echo "with-desktop: PulseAudio did not start" >&2; cat "$WORK/pulse.log" >&2; exit 1; }
PULSE_STARTED=1
deadline=$((SECONDS + 20))
until pactl info >/dev/null 2>&1; do
  [ $SECONDS -lt $deadline ] || { echo "with-desktop: PulseAudio is not answering" >&2; exit 1; }
  sleep 0.1
done
pactl set-default-source mic
pactl set-default-sink spk

# Tesseract must be told its thread limit before the process starts.
export OMP_THREAD_LIMIT=1

set +e
"$@"
status=$?
set -e
exit $status
