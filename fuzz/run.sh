#!/bin/sh
# Builds the index file fuzz target with clang and runs it.
#   fuzz/run.sh [seconds]     run for that long (default 60)
# Inputs that the run finds new are kept in the build directory's corpus, so
# that later runs start from them; the seeds in fuzz/corpus and the
# reproducers in fuzz/regressions are only read. A failing input is written
# to the build directory as crash-<hash> (or timeout-, leak-, oom-).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${VORLA_FUZZ_BUILD:-$root/build-fuzz}
seconds=${1:-60}

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" -j2 >/dev/null

mkdir -p "$build/corpus"
exec "$build/load_fuzzer" -max_total_time="$seconds" -max_len=16384 \
  -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -dict="$here/index.dict" -artifact_prefix="$build/" \
  "$build/corpus" "$here/corpus" "$here/regressions"
