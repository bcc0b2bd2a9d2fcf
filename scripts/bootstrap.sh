#!/usr/bin/env bash
# Installs every Debian package the suite needs to build, test and run; `bootstrap.sh fuzz` adds
# clang with libFuzzer for the fuzz build. Idempotent: when everything is present it installs
# nothing.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git clang-format
  # the Debian package: dpkg-shlibdeps finds the libraries the programs link
  dpkg-dev
  # codecs and devices
  libgsm1-dev libavcodec-dev libavutil-dev libswscale-dev
  portaudio19-dev libsndfile1-dev libsamplerate0-dev libv4l-dev
  # windows
  qt6-base-dev libgl-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # headless desktop, sound tools and process inspection for tests and the demo
  xvfb xauth sox espeak-ng procps iproute2
)
if [ "${1:-}" = fuzz ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "bootstrap: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "bootstrap: not root; run as root:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "bootstrap: done"
