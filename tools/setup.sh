#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need that this Debian machine
# lacks. Quiet and quick when everything is there.
set -euo pipefail

packages=(
  g++ cmake pkg-config make
  libjsoncpp-dev
  android-libboringssl-dev
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  gobjc++ libgnustep-base-dev
  openssl
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
