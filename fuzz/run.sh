#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds a fuzz target with clang and runs it.
#   fuzz/run.sh [SECONDS [TARGET [LIBFUZZER FLAGS...]]]
# SECONDS defaults to 60. TARGET is load (the index file reader, the
# default) or anyone (a workspace from anyone: load, copy, release, save).
# Inputs that a run finds new are kept in the build directory's corpus of
# the target, so that later runs start from them; the seeds and reproducers
# in fuzz/ are only read. A failing input is written to the build directory
# as crash-<hash> (or timeout-, leak-, oom-), with "anyone-" in front for
# the second target.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${VORLA_FUZZ_BUILD:-$root/build-fuzz}
seconds=${1:-60}
target=${2:-load}
[ $# -gt 2 ] && shift 2 || set --

case "$target" in
  load | load_fuzzer)
    binary=load_fuzzer
    corpus=$build/corpus
    seeds="$here/corpus $here/regressions"
    prefix=$build/
    ;;
  anyone | anyone_fuzzer)
    binary=anyone_fuzzer
    corpus=$build/corpus-anyone
    seeds="$here/corpus-anyone $here/regressions-anyone"
    prefix=$build/anyone-
    ;;
  *)
    echo "fuzz/run.sh: unknown target '$target' (load or anyone)" >&2
    exit 2
    ;;
esac

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" -j2 --target "$binary" >/dev/null

mkdir -p "$corpus"
# Every input must end within -timeout seconds and stay below the memory
# limits; a copy that would multiply records past the destination's copy
# limit fails long before them.
# shellcheck disable=SC2086  # $seeds is a list of folders
exec "$build/$binary" -max_total_time="$seconds" -max_len=16384 \
  -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1 \
  -dict="$here/index.dict" -artifact_prefix="$prefix" "$@" \
  "$corpus" $seeds
