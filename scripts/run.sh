#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the application and starts it.
# Needs root for the package installation; the application itself needs a display.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVD_BUILD_TESTS=OFF -DVD_BUILD_BENCHMARKS=OFF > /dev/null
cmake --build build/app -j"$(nproc)"
exec build/app/app/VantrelonDiagnostic "$@"
