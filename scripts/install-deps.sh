#!/usr/bin/env bash
# Installs what building, testing and running Kavrel need on Debian 12. Safe to run again.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config git
          libgtest-dev libgmock-dev nlohmann-json3-dev qt6-base-dev libudev-dev locales)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
