#!/usr/bin/env bash
# The one test command: install what is missing, build with the sanitizers, run every suite.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DVELLORAN_SANITIZE=ON
cmake --build build-test -j"$(nproc)"
cd build-test
ctest --output-on-failure -j"$(nproc)" "$@"
