#!/usr/bin/env bash
# Installs everything a fresh Debian 12 machine needs to build and test vorn-installer.
# Quick no-op when all of it is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ googletest
  g++-mingw-w64-x86-64-posix
  wine wine64 fonts-wine xvfb xauth x11-apps imagemagick fonts-wqy-zenhei
  openssl python3 osslsigncode
  curl gnuplot-nox
  nginx-light squid
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
