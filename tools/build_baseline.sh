#!/bin/sh
# Builds the module _px of another revision (default: main) into
# build/baseline/, for benchmarks/check_bit_identity.py and benchmarks/speed/vs_peers.py to compare against:
#   tools/build_baseline.sh [revision]
set -eu
cd "$(dirname "$0")/.."
revision=${1:-main}
rm -rf build/baseline-src build/baseline
mkdir -p build/baseline-src build/baseline
git archive "$revision" | tar -x -C build/baseline-src
git rev-parse "$revision" > build/baseline/REVISION
tools/py314 sh -c 'cmake -S build/baseline-src -B build/baseline-src/build -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$(command -v python3)" >/dev/null &&
  cmake --build build/baseline-src/build --target _px >/dev/null &&
  cp build/baseline-src/build/_px*.so build/baseline/'
echo "build/baseline: _px of $(cat build/baseline/REVISION)"
