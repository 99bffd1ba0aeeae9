#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing the helper need:
# both compilers, CMake, GoogleTest, nlohmann/json, Wine and pytest, and
# clang 14 with its runtime libraries (libFuzzer) for the fuzz targets.
# Idempotent: when everything is installed it only asks dpkg, and it runs
# apt-get (update first) only for what is missing. Needs root for that.
set -euo pipefail

packages=(
  cmake make g++
  libgtest-dev libgmock-dev googletest
  nlohmann-json3-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  clang-14 libclang-rt-14-dev
  wine wine64
  python3 python3-pytest python3-pytest-rerunfailures
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [[ $status == installed ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#packages[@]} packages are installed"
  exit 0
fi

echo "install-deps: missing: ${missing[*]}"
if ((EUID != 0)); then
  echo "install-deps: run this script as root to install them" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# Recommended packages are left out: Wine's would bring a desktop's worth of
# graphics and sound libraries that console programs never load.
apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
echo "install-deps: installed ${missing[*]}"
