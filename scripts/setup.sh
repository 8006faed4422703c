#!/usr/bin/env bash
# Installs, through apt, whatever the build and the tests need and this machine lacks.
set -euo pipefail
packages=(cmake g++ ninja-build make libgtest-dev libgmock-dev googletest libbenchmark-dev
          qt6-base-dev qt6-svg-dev qt6-qpa-plugins libjpeg62-turbo-dev fonts-dejavu-core dpkg-dev
          xvfb xdotool imagemagick poppler-utils groff-base python3 python3-pil libsleef-dev
          nlohmann-json3-dev parallel)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
