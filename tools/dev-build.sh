#!/usr/bin/env bash
# Developer build: compile into build/dev and place the module next to the
# package sources, so `PYTHONPATH=python pytest` tests the working tree.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/dev/build.ninja ]; then
  cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
fi
cmake --build build/dev
# Replace the module by renaming a copy over it: a process that has the old
# one loaded keeps its own file (copying over it in place would change the
# code under that process's feet).
for so in build/dev/_halyard_rs*.so; do
  cp "$so" "python/halyard/.$(basename "$so").new"
  mv -f "python/halyard/.$(basename "$so").new" "python/halyard/$(basename "$so")"
done
