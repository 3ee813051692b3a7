#!/usr/bin/env bash
# Installs every Debian package the project needs. Quick when all are present.
set -euo pipefail

PACKAGES=(
  # toolchain
  cmake ninja-build g++ clang libclang-rt-14-dev lld ccache pkg-config git
  # libraries
  libssl-dev libcurl4-openssl-dev libboost1.81-dev nlohmann-json3-dev libexpected-dev
  libfmt-dev libsystemd-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # test control plane and the tools tests drive
  python3 python3-aiohttp python3-cryptography python3-jsonschema openssl curl ca-certificates
  util-linux iproute2 procps tmux dmidecode
  # desktop module (loaded on demand; the daemon itself links none of it) and the
  # display and decoders its tests use
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base
  gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
  gstreamer1.0-libav gstreamer1.0-nice gstreamer1.0-tools
  libx11-dev libxext-dev libxrandr-dev libxtst-dev libxfixes-dev libxdamage-dev
  libgtk-3-dev xvfb xauth x11-utils
  # Wayland: PipeWire capture at run time; a headless GNOME session and its portals in tests
  gstreamer1.0-pipewire mutter pipewire pipewire-bin wireplumber
  xdg-desktop-portal xdg-desktop-portal-gnome
  # the window on the demo's and the end-to-end test's screen
  python3-gi gir1.2-gtk-3.0
  # a real browser for the WebRTC peer's tests
  chromium chromium-driver python3-selenium
  # a booted systemd in a container for the installation tests
  debootstrap systemd-container
  # the Debian package, its checks, the man page check and the reverse-proxy test
  debhelper lintian groff-base man-db bash-completion nginx
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The webrtc headers come only in libgstreamer-plugins-bad1.0-dev, which hard-depends on
# ~550 MB of OpenCV and Qt. The runtime library is installed with the plugins above, so
# the build takes just that package's headers, unpacked once per machine into a cache
# that CMake reads (VELA_GST_WEBRTC_DEV).
GST_WEBRTC_DEV=/var/cache/vela-agent-build/gst-webrtc-dev
if [ ! -f "$GST_WEBRTC_DEV/usr/include/gstreamer-1.0/gst/webrtc/webrtc.h" ]; then
  version=$(dpkg-query -W -f='${Version}' gstreamer1.0-plugins-bad)
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  scratch=$(mktemp -d)
  chmod 755 "$scratch"  # apt fetches as _apt
  trap 'rm -rf "$scratch"' EXIT
  (cd "$scratch" && apt-get download -q "libgstreamer-plugins-bad1.0-dev=$version")
  $SUDO mkdir -p "$GST_WEBRTC_DEV"
  $SUDO dpkg-deb -x "$scratch"/libgstreamer-plugins-bad1.0-dev_*.deb "$GST_WEBRTC_DEV"
  echo "setup: webrtc headers $version unpacked into $GST_WEBRTC_DEV"
fi
