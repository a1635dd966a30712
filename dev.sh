#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up a fresh Debian 12 machine and runs vorla's jobs.
#
#   ./dev.sh main       install what is missing, build what the demo needs
#                       and run it: a workspace made from Python 3, filled
#                       by an example program and the package vorla, shown
#                       and checked with the vorla tool (Python 2 too, where
#                       there is one)
#   ./dev.sh test       install what is missing, build, run every test
#   ./dev.sh sanitize   the GoogleTest suites under AddressSanitizer,
#                       UndefinedBehaviorSanitizer and LeakSanitizer
#   ./dev.sh tsan       the writer lock, multiprocess and id counter tests
#                       under ThreadSanitizer
#   ./dev.sh crash [N]  the crash-state explorer, up to N states (16384)
#                       per crash point, and the real power cut (root only)
#   ./dev.sh fuzz [S]   the two fuzz targets (index file reader, workspace
#                       from anyone), S seconds (60) split between them
#   ./dev.sh bench      the benchmarks (see bench/run.sh)
#   ./dev.sh lint       fails when a source differs from clang-format's form
#
# VORLA_WERROR=ON turns warnings into errors. VORLA_PYTHON2 names the Python
# 2.7 interpreter to build the module for; by default it is pyenv's 2.7.18,
# else python2.7 on the path, else none (Debian 12 has none).
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

# python3-venv, -pip, -setuptools and -wheel: the pip install test; dpkg-dev:
# the .deb (dpkg-shlibdeps); lintian and man-db: its checks; pybind11-dev:
# the Python 3 package vorla; mypy: the package's type information (mypy
# --strict, stubtest).
packages=(g++ make cmake pkg-config libboost-thread-dev libboost-random-dev
          libgtest-dev swig python3-dev clang-14 libclang-rt-14-dev
          libsimpleini-dev clang-format-14 python3-venv python3-pip
          python3-setuptools python3-wheel dpkg-dev python3-jsonschema
          pybind11-dev e2fsprogs lintian man-db mypy)

install_missing() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" \
      || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" \
      >/dev/null
  fi
}

python2() {
  if [ -n "${VORLA_PYTHON2:-}" ]; then
    echo "$VORLA_PYTHON2"
  elif command -v pyenv >/dev/null && pyenv prefix 2.7.18 >/dev/null 2>&1; then
    echo "$(pyenv prefix 2.7.18)/bin/python2.7"
  else
    command -v python2.7 || true
  fi
}

# configure DIR [cmake options...]
configure() {
  local dir=$1
  shift
  local py2
  py2=$(python2)
  local opts=(-DVORLA_WERROR="${VORLA_WERROR:-OFF}")
  [ -n "$py2" ] && opts+=(-DVORLA_PYTHON2_EXECUTABLE="$py2")
  cmake -S . -B "$dir" "${opts[@]}" "$@" >/dev/null
}

# build DIR [cmake options...]
build() {
  configure "$@"
  cmake --build "$1" -j2
}

# The demo needs the tool, the example program and the Python 3 modules
# (and _vorla for Python 2 when there is one): only those are built.
demo_targets() {
  local dir=$1 have
  have=$(cmake --build "$dir" --target help)
  for t in vorla_cli photo_album vorla_python3 vorla_package vorla_python2; do
    grep -q "^\.\.\. $t\$" <<<"$have" && echo "$t"
  done
  return 0
}

# VORLA_DEMO_BUILD names a configured build directory to use as it is: no
# package is installed and nothing is configured (the tests run the demo
# so, in their own build).
main_job() {
  local dir=${VORLA_DEMO_BUILD:-}
  if [ -z "$dir" ]; then
    install_missing
    dir=build
    configure "$dir" -DCMAKE_BUILD_TYPE=Release -DVORLA_BUILD_TESTS=OFF
  fi
  local targets
  mapfile -t targets < <(demo_targets "$dir")
  cmake --build "$dir" -j2 --target "${targets[@]}"
  local demo=${VORLA_DEMO_OUT:-$root/out/demo} py2 py3
  py2=$(python2)
  py3=$(cmake -L -N "$dir" | sed -n 's/^VORLA_PYTHON3_EXECUTABLE:[A-Z]*=//p')
  rm -rf "$demo"
  mkdir -p "$demo/data"
  echo
  echo "== Python 3 creates an empty workspace with _vorla"
  PYTHONPATH=$dir/module/python3 "${py3:-python3}" -c "
import _vorla
_vorla.init_workspace('$demo/album.ini', 'data')
print(open('$demo/album.ini').read())"
  echo "== an example program adds an album with photos and thumbnails"
  "$dir/examples/photo_album" "$demo/album.ini"
  if [ -d "$dir/module/python3/vorla" ]; then
    echo
    echo "== Python 3 adds the same album with the package vorla"
    PYTHONPATH=$dir/module/python3 "${py3:-python3}" examples/album.py \
      "$demo/album.ini"
  fi
  echo
  echo "== vorla show"
  "$dir/tools/vorla" show "$demo/album.ini"
  echo
  echo "== vorla check"
  "$dir/tools/vorla" check "$demo/album.ini"
  echo
  if [ -n "$py2" ] && [ -d "$dir/module/python2" ]; then
    # In a folder of its own: two index files beside each other must not
    # share one data directory.
    echo "== Python 2 creates a workspace of its own with _vorla"
    mkdir -p "$demo/py2/data"
    PYTHONPATH=$dir/module/python2 "$py2" -c "
import _vorla
_vorla.init_workspace('$demo/py2/album.ini', 'data')
print(open('$demo/py2/album.ini').read())"
    "$dir/tools/vorla" check "$demo/py2/album.ini"
  else
    echo "Python 2 not found, so its part of the demo is left out: install" \
      "2.7.18 with pyenv, or set VORLA_PYTHON2=/path/to/python2.7"
  fi
}

test_job() {
  install_missing
  build build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo
  ctest --test-dir build-test --output-on-failure -j2
}

sanitize_job() {
  install_missing
  # The package vorla too: its suite preloads the runtimes into Python.
  build build-asan -DCMAKE_BUILD_TYPE=Debug -DVORLA_SANITIZE=ON \
    -DVORLA_BUILD_PYTHON3=ON
  ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j2
}

# Both fuzz targets one after the other, each with half of the time.
fuzz_job() {
  local first=$(($1 / 2))
  local second=$(($1 - first))
  [ "$first" -ge 1 ] || first=1
  [ "$second" -ge 1 ] || second=1
  fuzz/run.sh "$first" load
  fuzz/run.sh "$second" anyone
}

# The whole build instrumented; the tests whose threads and processes meet
# in the writer lock's process-wide table, the file locks and the id counter
# (the tool too, which the multiprocess test runs).
tsan_job() {
  install_missing
  build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORLA_TSAN=ON \
    -DVORLA_BUILD_PYTHON2=OFF -DVORLA_BUILD_PYTHON3=OFF
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build-tsan --output-on-failure \
    -R '^(counter_test|counter_tsan_test|multiprocess_test|file_lock_test|spaceman_test)$'
}

# Every state the explorer can make, not the sample the test suite checks.
crash_job() {
  install_missing
  build build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo
  VORLA_CRASH_CAP=$1 ctest --test-dir build-test -V \
    -R '^(crash_explorer|power_cut)_test$'
}

case "${1:-}" in
  main) main_job ;;
  test) test_job ;;
  sanitize) sanitize_job ;;
  tsan) tsan_job ;;
  crash) crash_job "${2:-16384}" ;;
  fuzz) install_missing; fuzz_job "${2:-60}" ;;
  bench) install_missing; bench/run.sh "${@:2}" ;;
  lint)
    install_missing
    git ls-files '*.cpp' '*.h' | xargs clang-format-14 --dry-run --Werror
    echo "formatting: clean" ;;
  *) sed -n '3,24p' "$0" >&2; exit 2 ;;
esac
