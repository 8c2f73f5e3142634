#!/usr/bin/env bash
# Build the module with AddressSanitizer and UndefinedBehaviorSanitizer and run
# the whole test suite (fuzzer included) against it, the runtimes preloaded.
# Any sanitizer report fails the run. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/sanitize
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALYARD_SANITIZE=ON \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$build"
pkg="$(mktemp -d)"
cp -r python/halyard "$pkg/"
rm -f "$pkg"/halyard/_halyard_rs*.so
cp "$build"/_halyard_rs*.so "$pkg/halyard/"
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# CPython keeps objects alive until exit by design: leak checking is the job of
# the leak tests, not of LeakSanitizer here.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export HALYARD_SANITIZED=1
PYTHONPATH="$pkg" python3 -m pytest tests -q -p no:cacheprovider "$@"
