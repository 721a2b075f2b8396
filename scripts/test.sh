#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs the whole test suite:
#   release  - the ordinary build, every test (rig tests run in private namespaces)
#   asan     - the same tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan     - the thread and lock tests (ctest label "threads") under ThreadSanitizer
#   (each test carries its sanitizer's options and suppressions: tests/CMakeLists.txt)
#   fuzz     - each libFuzzer target for VD_FUZZ_SECONDS (default 60) from its corpus
# VD_STAGES picks stages (default: "release asan tsan fuzz"). Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh

stages=${VD_STAGES:-release asan tsan fuzz}
jobs=$(nproc)
fuzz_seconds=${VD_FUZZ_SECONDS:-60}

# Runs ctest on a build tree. A stage that matches no test fails, and so
# does one in which any test was skipped: a skip means the stage did not
# check what it claims to check. ctest itself lists skipped tests under the
# line looked for here; a GoogleTest program that skips a case counts as
# skipped (tests/CMakeLists.txt).
run_ctest() {
  local dir=$1; shift
  ctest --test-dir "$dir" --no-tests=error --output-on-failure "$@" | tee "$dir/ctest.log"
  if grep -q '^The following tests did not run:' "$dir/ctest.log"; then
    echo "tests skipped in $dir (every test must run; ctest lists them above)" >&2
    return 1
  fi
}

configure_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs"
}

mkdir -p build
for stage in $stages; do
  echo "=== stage: $stage ==="
  case $stage in
    release)
      configure_build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
      run_ctest build/release -j"$jobs" --timeout 600
      ;;
    asan)
      configure_build build/asan -DCMAKE_BUILD_TYPE=Debug -DVD_SANITIZE=address,undefined \
        -DVD_BUILD_BENCHMARKS=OFF
      run_ctest build/asan -j"$jobs" --timeout 900
      ;;
    tsan)
      configure_build build/tsan -DCMAKE_BUILD_TYPE=Debug -DVD_SANITIZE=thread \
        -DVD_BUILD_BENCHMARKS=OFF
      run_ctest build/tsan -j"$jobs" --timeout 900 -L threads
      ;;
    fuzz)
      CC=clang CXX=clang++ configure_build build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVD_BUILD_FUZZERS=ON -DVD_BUILD_TESTS=OFF -DVD_BUILD_BENCHMARKS=OFF
      found=0
      for fuzzer in build/fuzz/tests/fuzz/fuzz_*; do
        [ -x "$fuzzer" ] || continue
        found=1
        name=$(basename "$fuzzer")
        work="build/fuzz/work/$name"; artifacts="build/fuzz/artifacts/$name/"
        rm -rf "$work"; mkdir -p "$work" "$artifacts"
        if [ -d "tests/fuzz/corpus/$name" ]; then cp -r "tests/fuzz/corpus/$name/." "$work/"; fi
        echo "--- $name for ${fuzz_seconds}s"
        if ! "$fuzzer" -max_total_time="$fuzz_seconds" -seed=1 -timeout=10 -rss_limit_mb=2048 \
             -artifact_prefix="$artifacts" "$work" > "build/fuzz/$name.log" 2>&1; then
          tail -n 60 "build/fuzz/$name.log"
          echo "$name found a failure; keep its input under tests/fuzz/crashes/$name/ (see $artifacts)" >&2
          exit 1
        fi
        grep -E '^(#[0-9]+ +DONE|Done)' "build/fuzz/$name.log" | tail -n 1 || true
      done
      [ $found -eq 1 ] || { echo "no fuzz targets were built" >&2; exit 1; }
      ;;
    *) echo "unknown stage: $stage" >&2; exit 2 ;;
  esac
done
echo "all stages passed: $stages"
