#!/usr/bin/env bash
# Installs what the build and the tests need, when it is missing.
set -euo pipefail
packages=(cmake ninja-build g++ googletest libbenchmark-dev g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 valgrind
          python3 clang libclang-rt-14-dev zip)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
