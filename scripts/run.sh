#!/usr/bin/env bash
# Installs what is missing, builds a release build in build/ and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELLORAN_BUILD_TESTS=OFF
cmake --build build -j"$(nproc)"

if [ -x build/app/velloran ]; then
  exec build/app/velloran "$@"
fi
echo "The window is not built yet. What exists in build/:"
find build -maxdepth 2 -type f -executable -printf '  %p\n'
