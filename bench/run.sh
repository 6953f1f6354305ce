#!/usr/bin/env bash
# Builds the benchmarks natively (host compiler, zlib1g-dev, zip and unzip) and runs them.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-bench}
cmake -S "$here" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
"$build/inflate_bench"
