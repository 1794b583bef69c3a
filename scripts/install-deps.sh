#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
set -euo pipefail
# The players suite adds mpv, VLC and Chromium, and node with npm for hls.js and
# mpegts.js (a node that brings its own npm is kept). lintian checks the Debian package,
# nsis (makensis) makes the Windows installer. The fetcher's swarm needs libtorrent and
# its tests a tracker (opentracker) and network namespaces (unshare, nsenter, ip); its
# network sources (UDP, RTP, SRT, HTTP) are read through libavformat.
packages=(libtorrent-rasterbar-dev opentracker util-linux iproute2
          libavformat-dev libavcodec-dev libavutil-dev
          build-essential cmake clang libclang-rt-14-dev libssl-dev libgtest-dev
          ffmpeg curl nginx iperf3 procps mpv vlc-bin vlc-plugin-base chromium nodejs
          libgtk-3-dev libayatana-appindicator3-dev libnotify-dev
          xvfb dbus trayer dunst xdotool imagemagick x11-utils lintian nsis)
command -v npm >/dev/null 2>&1 || packages+=(npm)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
"${as_root[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
