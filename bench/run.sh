#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the load/save, sweep, writer lock and Python benchmarks in Release
# and runs them.
#
#   bench/run.sh [load-save|clean-temp|unordered|lock|save-new-files|python|all]
#   (default: all)
#
# Environment: BUILD_DIR (default <repo>/build-bench), RECORDS (200000),
# REPS (5 runs per reader), SWEEP_ARGS (arguments of bench_clean_temp,
# default "25000 2500 4 3"), UNORDERED_ITEMS (items of the one section whose
# load is timed in name order, reversed and shuffled; 400000), LOCK_REPS (9
# saves of each kind for the lock), PYTHON3 (/usr/bin/python3, the Python of
# the package vorla), CONFIGPARSER_REPS (1 run of configparser, which takes
# some 20 s and 1 GB on 200,000 records), SAVE_REPS (5 saves per count of
# new data files) and BEFORE (a checkout of the former code, e.g. from
# `git worktree add`, whose library the save-new-files table and whose
# Python package the python table set beside this one's).
#
# Every run is a fresh process, so each reader's peak memory is its own;
# the readers take turns so that a burst of load from elsewhere on the
# machine spreads over all of them. The table shows medians over REPS.
# Before timing, vorla's load + save of the generated file must reproduce
# it byte for byte.
set -euo pipefail

what=${1:-all}
case "$what" in
  load-save|clean-temp|unordered|lock|save-new-files|python|all) ;;
  *) echo "usage: $0 [load-save|clean-temp|unordered|lock|save-new-files|python|all]" >&2
     exit 2 ;;
esac

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$repo/build-bench}
bin=$build/bench
records=${RECORDS:-200000}
reps=${REPS:-5}
read -r -a sweep_args <<< "${SWEEP_ARGS:-25000 2500 4 3}"
lock_reps=${LOCK_REPS:-9}

python3=${PYTHON3:-/usr/bin/python3}
configparser_reps=${CONFIGPARSER_REPS:-1}

mkdir -p "$build"
cmake -S "$repo" -B "$build" -DVORLA_BUILD_BENCH=ON \
  -DVORLA_PYTHON3_EXECUTABLE="$python3" -DVORLA_BUILD_PYTHON2=OFF \
  -DCMAKE_BUILD_TYPE=Release -DVORLA_BUILD_TESTS=OFF >"$build/configure.log" \
  || { cat "$build/configure.log" >&2; exit 1; }

# Builds one target; a reader whose target does not build is left out of
# the table rather than stopping the others.
built() {
  if cmake --build "$build" --target "$1" -j2 >"$build/$1.build.log" 2>&1; then
    return 0
  fi
  echo "note: $1 did not build (see $build/$1.build.log)" >&2
  return 1
}

median() {
  sort -g | awk '{ v[NR] = $1 }
    END { if (NR == 0) { print "nan"; exit }
          if (NR % 2) print v[(NR + 1) / 2];
          else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

load_save() {
  built bench_gen_index || exit 1
  local data="$build/bench-data"
  mkdir -p "$data"
  local input="$data/index_$records.ini" small="$data/index_11.ini"
  "$bin/bench_gen_index" "$records" "$input"
  "$bin/bench_gen_index" 11 "$small"
  echo "input: $input, $records records, $(wc -c < "$input") bytes"

  local peers=()
  if built bench_load_save_vorla; then
    # The generator must write what vorla writes, or the timings compare
    # different work: check it on a small file and on the timed one.
    for f in "$small" "$input"; do
      "$bin/bench_load_save_vorla" "$f" "$data/roundtrip.ini" >/dev/null
      if ! cmp "$f" "$data/roundtrip.ini"; then
        echo "vorla load + save does not reproduce $f" >&2
        exit 1
      fi
    done
    echo "round trip: vorla load + save reproduces the generated files"
    peers+=(vorla)
  fi
  built bench_load_save_simpleini && peers+=(simpleini simpleini-case)
  built bench_load_save_ptree && peers+=(ptree)

  cat "$input" > /dev/null  # the first run should not pay for a cold cache
  local results="$data/results.txt"
  : > "$results"
  local rep peer line
  for ((rep = 1; rep <= reps; rep++)); do
    for peer in "${peers[@]}"; do
      rm -f "$data/out.ini"
      case "$peer" in
        vorla) line=$("$bin/bench_load_save_vorla" "$input" "$data/out.ini") ;;
        simpleini) line=$("$bin/bench_load_save_simpleini" "$input" "$data/out.ini") ;;
        simpleini-case) line=$("$bin/bench_load_save_simpleini" "$input" "$data/out.ini" --case) ;;
        ptree) line=$("$bin/bench_load_save_ptree" "$input" "$data/out.ini") ;;
      esac
      echo "$line rep=$rep" >> "$results"
    done
  done
  rm -f "$data/out.ini"

  echo
  echo "load + save of $records records, median of $reps runs per reader"
  echo "(2 cores shared with others: absolute times follow the machine's load,"
  echo " load average now $(cut -d' ' -f1-3 /proc/loadavg); the ratios are steadier)"
  printf '%-15s %8s %8s %8s %10s %9s %9s\n' reader load_s save_s sync_s \
    "total_s" "+sync_s" peak_MiB
  local -A total synced rss
  local cols load save sync
  for peer in "${peers[@]}"; do
    # One row per run: load save sync load+save load+save+sync peak_kib.
    cols=$(awk -v p="peer=$peer" '$1 == p {
        for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        print f["load_s"], f["save_s"], f["sync_s"],
              f["load_s"] + f["save_s"],
              f["load_s"] + f["save_s"] + f["sync_s"], f["peak_rss_kib"]
      }' "$results")
    load=$(awk '{ print $1 }' <<< "$cols" | median)
    save=$(awk '{ print $2 }' <<< "$cols" | median)
    sync=$(awk '{ print $3 }' <<< "$cols" | median)
    total[$peer]=$(awk '{ print $4 }' <<< "$cols" | median)
    synced[$peer]=$(awk '{ print $5 }' <<< "$cols" | median)
    rss[$peer]=$(awk '{ print $6 }' <<< "$cols" | median)
    printf '%-15s %8.3f %8.3f %8.3f %10.3f %9.3f %9.1f\n' "$peer" "$load" \
      "$save" "$sync" "${total[$peer]}" "${synced[$peer]}" \
      "$(awk -v k="${rss[$peer]}" 'BEGIN { print k / 1024 }')"
  done
  echo "total = load + save; +sync adds the peers' fsync of the output,"
  echo "which vorla's save does itself (its sync_s is part of save_s)."

  if [[ -n "${total[vorla]:-}" && -n "${total[simpleini]:-}" ]]; then
    awk -v t="${total[vorla]}" -v s="${total[simpleini]}" \
      -v ts="${synced[simpleini]}" -v m="${rss[vorla]}" \
      -v ms="${rss[simpleini]}" 'BEGIN {
        printf "vorla / simpleini: time %.2f (%.2f against +sync), " \
               "peak memory %.2f\n", t / s, t / ts, m / ms }'
    # Runs of the same round are close in time and share the machine's
    # load, so the median of their ratios is steadier than the ratio of
    # medians when others use the cores.
    local paired
    paired=$(awk '{
        for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        if ($1 == "peer=vorla") v[f["rep"]] = f["load_s"] + f["save_s"]
        if ($1 == "peer=simpleini") s[f["rep"]] = f["load_s"] + f["save_s"]
      } END { for (r in v) if (r in s) print v[r] / s[r] }' "$results" |
      median)
    printf 'vorla / simpleini, median of per-round time ratios: %.2f\n' \
      "$paired"
  fi
}

clean_temp() {
  built bench_clean_temp || exit 1
  echo
  echo "sweep of temporary records: median of runs; each ratio is against"
  echo "the row above, where records and temporaries are half as many"
  "$bin/bench_clean_temp" "${sweep_args[@]}" "$build"
}

unordered() {
  built bench_unordered_items || exit 1
  echo
  "$bin/bench_unordered_items" "${UNORDERED_ITEMS:-400000}" 3 "$build"
}

# bench_save_new_files built against BEFORE's library, or nothing.
before_save_new_files() {
  [ -n "${BEFORE:-}" ] || return 1
  local bb="$build/before"
  cmake -S "$BEFORE" -B "$bb" -DCMAKE_BUILD_TYPE=Release \
    -DVORLA_BUILD_TESTS=OFF -DVORLA_BUILD_TOOLS=OFF -DVORLA_BUILD_PYTHON2=OFF \
    -DVORLA_BUILD_PYTHON3=OFF >"$bb.configure.log" 2>&1 &&
    cmake --build "$bb" --target vorla -j2 >"$bb.build.log" 2>&1 &&
    c++ -O2 -std=c++17 -I"$BEFORE" "$repo/bench/save_new_files.cpp" \
      "$(find "$bb" -name libvorla.a | head -n1)" -lboost_thread -pthread \
      -o "$bb/bench_save_new_files" >>"$bb.build.log" 2>&1 ||
    { echo "note: BEFORE did not build (see $bb.build.log)" >&2; return 1; }
}

# Saves of the large workspace that add 0, 10, 100 and 1,000 data files of
# 4 KiB, with this tree's library and, beside it, BEFORE's.
save_new_files() {
  built bench_gen_index || exit 1
  built bench_save_new_files || exit 1
  local data="$build/bench-data" work="$build/bench-data/new-files"
  local input="$data/index_$records.ini" before=
  mkdir -p "$work"
  [ -f "$input" ] || "$bin/bench_gen_index" "$records" "$input"
  before_save_new_files && before="$build/before/bench_save_new_files"
  echo
  echo "save of $records records adding N data files of 4 KiB, median of"
  echo "${SAVE_REPS:-5} saves (the program writes and closes each file, no fsync)"
  printf '%8s %10s %10s %10s\n' N after_s before_s after-before
  local n a b
  for n in 0 10 100 1000; do
    a=$("$bin/bench_save_new_files" "$input" "$work" "$n" "${SAVE_REPS:-5}" |
      sed 's/.*save_s=//')
    b=nan
    [ -n "$before" ] &&
      b=$("$before" "$input" "$work" "$n" "${SAVE_REPS:-5}" | sed 's/.*save_s=//')
    printf '%8s %10s %10s %10s\n' "$n" "$a" "$b" \
      "$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.4f", a - b }')"
  done
  rm -rf "$work"
}

# Save with the writer lock taken inside it against save with the lock
# already held (no lock work), on a large and a small workspace.
lock() {
  built bench_gen_index || exit 1
  built bench_save_lock || exit 1
  local data="$build/bench-data"
  mkdir -p "$data/lock"
  echo
  echo "save with and without taking the writer lock, median of $lock_reps"
  echo "saves of each kind (the lock alone: median of 200 takes a run)"
  local n input
  for n in "$records" 11; do
    input="$data/index_$n.ini"
    [[ -f "$input" ]] || "$bin/bench_gen_index" "$n" "$input"
    "$bin/bench_save_lock" "$input" "$data/lock" "$lock_reps"
  done
  rm -rf "$data/lock"
}

# The directory of BEFORE's Python package, built in $build/before-python,
# or nothing.
before_python() {
  [ -n "${BEFORE:-}" ] || return 1
  local bb="$build/before-python"
  cmake -S "$BEFORE" -B "$bb" -DCMAKE_BUILD_TYPE=Release \
    -DVORLA_PYTHON3_EXECUTABLE="$python3" -DVORLA_BUILD_PYTHON2=OFF \
    -DVORLA_BUILD_TESTS=OFF >"$bb.configure.log" 2>&1 &&
    cmake --build "$bb" --target vorla_package -j2 >"$bb.build.log" 2>&1 ||
    { echo "note: BEFORE's package did not build (see $bb.build.log)" >&2
      return 1; }
  echo "$bb/module/python3"
}

# The package vorla against the C++ library and against Python's own
# configparser, on the same generated file: load, then every item of every
# record turned into a Python object; then one read of a file item, of a
# number item and of a dict. With BEFORE, the former package takes turns
# with this one.
python_read() {
  built bench_gen_index || exit 1
  built bench_load_save_vorla || exit 1
  built vorla_package || exit 1
  local data="$build/bench-data"
  mkdir -p "$data"
  local input="$data/index_$records.ini"
  [[ -f "$input" ]] || "$bin/bench_gen_index" "$records" "$input"
  local results="$data/python.txt" read=(env
    "PYTHONPATH=$build/module/python3" "$python3" -B "$repo/bench/python_read.py")
  local before_dir="" before_read=()
  if before_dir=$(before_python); then
    before_read=(env "PYTHONPATH=$before_dir" "$python3" -B
                 "$repo/bench/python_read.py")
  fi
  : > "$results"
  cat "$input" > /dev/null
  local rep
  for ((rep = 1; rep <= reps; rep++)); do
    "$bin/bench_load_save_vorla" "$input" "$data/out.ini" >> "$results"
    "${read[@]}" vorla-python "$input" >> "$results"
    [ -z "$before_dir" ] ||
      "${before_read[@]}" vorla-python-before "$input" >> "$results"
  done
  for ((rep = 1; rep <= configparser_reps; rep++)); do
    "${read[@]}" configparser "$input" >> "$results"
  done
  rm -f "$data/out.ini"

  # field PEER KEY: the median of KEY over PEER's runs.
  field() {
    awk -v p="peer=$1" -v k="$2" '$1 == p {
        for (i = 2; i <= NF; i++) { split($i, kv, "="); if (kv[1] == k) print kv[2] }
      }' "$results" | median
  }
  local cpp_load py_load py_iter py_rss cp_load cp_iter cp_rss
  cpp_load=$(field vorla load_s)
  py_load=$(field vorla-python load_s)
  py_iter=$(field vorla-python iterate_s)
  py_rss=$(field vorla-python peak_rss_kib)
  cp_load=$(field configparser load_s)
  cp_iter=$(field configparser iterate_s)
  cp_rss=$(field configparser peak_rss_kib)
  echo
  echo "Python 3 reading $records records: median of $reps runs (configparser:"
  echo "$configparser_reps); load average now $(cut -d' ' -f1-3 /proc/loadavg)"
  printf '%-22s %8s %10s %9s\n' reader load_s iterate_s peak_MiB
  printf '%-22s %8.3f %10s %9s\n' "C++ SpaceMan::load" "$cpp_load" - -
  printf '%-22s %8.3f %10.3f %9.1f\n' "vorla.Workspace" "$py_load" "$py_iter" \
    "$(awk -v k="$py_rss" 'BEGIN { print k / 1024 }')"
  printf '%-22s %8.3f %10.3f %9.1f\n' "configparser" "$cp_load" "$cp_iter" \
    "$(awk -v k="$cp_rss" 'BEGIN { print k / 1024 }')"
  if [ -n "$before_dir" ]; then
    printf '%-22s %8.3f %10.3f %9.1f\n' "vorla.Workspace before" \
      "$(field vorla-python-before load_s)" \
      "$(field vorla-python-before iterate_s)" \
      "$(awk -v k="$(field vorla-python-before peak_rss_kib)" \
           'BEGIN { print k / 1024 }')"
  fi
  echo
  echo "one read, microseconds: rec[name] of a file item and of a number item,"
  echo "and a dict lookup"
  printf '%-22s %8s %8s %8s\n' reader file number dict
  local peer
  for peer in vorla-python vorla-python-before; do
    [ "$peer" = vorla-python ] || [ -n "$before_dir" ] || continue
    printf '%-22s %8.3f %8.3f %8.3f\n' "$peer" \
      "$(field $peer file_item_us)" "$(field $peer number_item_us)" \
      "$(field $peer dict_item_us)"
  done
  awk -v c="$cpp_load" -v l="$py_load" -v i="$py_iter" -v cl="$cp_load" \
    -v ci="$cp_iter" -v m="$py_rss" -v cm="$cp_rss" 'BEGIN {
      printf "vorla.Workspace load / C++ load: %.2f\n", l / c
      printf "configparser / vorla: read %.1fx, iterate %.1fx, " \
             "read + iterate %.1fx, peak memory %.1fx\n", cl / l, ci / i,
             (cl + ci) / (l + i), cm / m }'
}

case "$what" in
  load-save) load_save ;;
  clean-temp) clean_temp ;;
  unordered) unordered ;;
  lock) lock ;;
  save-new-files) save_new_files ;;
  python) python_read ;;
  all) load_save; clean_temp; unordered; lock; save_new_files; python_read ;;
esac
