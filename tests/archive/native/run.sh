#!/usr/bin/env bash
# Builds and runs the native archive suite (host compiler, AddressSanitizer + UBSan). Non-zero when any test fails.
# Usage: tests/archive/native/run.sh [build-dir] [gtest arguments...]
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../../build/archive-native}
shift || true
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Debug >/dev/null || exit 1
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null || { cmake --build "$build" -j 1; exit 1; }
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$build/archive_native_test" "$@"
