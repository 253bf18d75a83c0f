#!/usr/bin/env bash
# Builds and installs quorvane into a temporary prefix, then builds the
# consumer in this directory against the installed package with
# find_package(quorvane) and runs it; also runs the installed CLI.
# Usage: tests/package/run.sh   (JOBS=N for parallel builds, default 2)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
jobs=${JOBS:-2}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

echo "== build and install quorvane into $work/prefix"
cmake -S "$root" -B "$work/build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DQUORVANE_BUILD_TESTS=OFF -DQUORVANE_BUILD_PYTHON=OFF -DCMAKE_INSTALL_PREFIX="$work/prefix" >/dev/null
cmake --build "$work/build" -j "$jobs" >/dev/null
cmake --install "$work/build" >/dev/null

for f in include/quorvane/error.hpp include/quorvane/vs.hpp include/quorvane/wrapper.hpp \
         include/quorvane/hardbinding.hpp include/quorvane/hardbinding/provided.hpp \
         lib/cmake/quorvane/quorvane-config.cmake lib/cmake/quorvane/quorvane-config-version.cmake \
         bin/quorvane; do
  [[ -e $work/prefix/$f || -e $work/prefix/${f/lib\//lib64/} ]] || { echo "missing from the install: $f" >&2; exit 1; }
done
[[ ! -e $work/prefix/include/quorvane/python ]] || { echo "the Python boundary was installed" >&2; exit 1; }
version=$("$work/prefix/bin/quorvane" --version)
[[ $version == "0.2.0 (NFC: Unicode "* ]] || { echo "installed CLI reports version '$version'" >&2; exit 1; }

echo "== build the consumer against the installed package"
cmake -S "$here" -B "$work/consumer" "${generator[@]}" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" -j "$jobs" >/dev/null
"$work/consumer/consumer"
echo "package test passed"
