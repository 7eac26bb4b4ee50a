#!/usr/bin/env bash
# Installs every Debian package the build, the program and the tests need.
# Idempotent and quiet: does nothing when everything is already there.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake ninja-build pkg-config
  # scripts
  curl util-linux xdg-utils desktop-file-utils
  # Qt 6 and coroutines
  qt6-base-dev qt6-base-dev-tools qt6-websockets-dev qt6-httpserver-dev qt6-multimedia-dev qcoro-qt6-dev
  libqt6svg6 qt6-qpa-plugins
  # the onboarding videos (VP9 in MP4) through Qt Multimedia's GStreamer back-end
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  # storage
  libsqlite3-dev libsqlitecpp-dev
  # speech and screen text
  libpocketsphinx-dev libsphinxbase-dev pocketsphinx-en-us
  libtesseract-dev libleptonica-dev tesseract-ocr-eng
  # desktop integration
  libatspi2.0-dev at-spi2-core libglib2.0-dev
  libx11-dev libx11-xcb-dev libxi-dev libxtst-dev libxfixes-dev libxres-dev libxrandr-dev
  libxext-dev libxkbcommon-dev libxkbcommon-x11-dev libxcb1-dev libxcb-xfixes0-dev libxcb-shm0-dev
  libxcb-randr0-dev libxcb-res0-dev libxcb-xtest0-dev libxcb-xinput-dev libxcb-record0-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev jq
  # fuzz targets (libFuzzer)
  clang-14 libclang-rt-14-dev
  # format and static checks (scripts/lint.sh)
  clang-format-14 clang-tidy-14 python3
  # the virtual test desktop and its fixtures
  xvfb xauth openbox dbus dbus-x11 pulseaudio pulseaudio-utils flite sox xclip xdotool x11-apps
  x11-utils zenity procps trayer xfce4-clipman
  # the Wayland back-end: libwayland-client, wayland-scanner and protocol definitions (the wlr
  # ones ship only inside the Rust crate package), and the compositors, clients and tools its
  # tests run (Weston and Sway headless with XWayland, a native GTK field, the Wayland clipboard;
  # useradd from passwd: Sway runs as a user the tests create)
  libwayland-dev wayland-protocols librust-wayland-protocols-dev
  weston sway xwayland wl-clipboard passwd
  # the stacks of a program that hangs in a desktop test
  gdb
  # fonts
  fonts-ebgaramond fonts-dejavu-core
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing ${#missing[@]} packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
