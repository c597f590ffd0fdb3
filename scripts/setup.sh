#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing: on a Debian 12
# machine with nothing but its own python3, everything from the compiler to Python's headers
# (python3-dev: CMake's Development.SABIModule) and its venv module. nettle-dev and libaec-dev
# carry static archives that the wheel links.
set -euo pipefail
packages=(build-essential pkg-config nlohmann-json3-dev libarchive-dev zlib1g-dev libbz2-dev
          liblzma-dev libzstd-dev nettle-dev libhdf5-dev libaec-dev hdf5-tools libgtest-dev
          7zip zstd python3-dev python3-venv unzip clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi
