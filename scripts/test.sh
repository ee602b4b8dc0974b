#!/usr/bin/env bash
# Installs what is missing, then builds from clean build directories and runs
# every test twice: a normal optimised build, and one with AddressSanitizer and
# UndefinedBehaviorSanitizer. Between the two, builds the .deb and the
# tarball and tests them installed (tests/package). Then runs the fuzz
# targets briefly on their corpora, and the native host's tests under
# ThreadSanitizer. Stops at the first suite that fails.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

jobs=$(nproc)
# A compiler cache, where one is installed, makes a second run from a fresh
# clone cheap; the builds are the same without it.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$PWD"
fi
suite() {
  local dir=$1
  shift
  echo "==> $dir: configure and build"
  rm -rf "$dir"
  cmake -S . -B "$dir" -G Ninja -Wno-dev "${launcher[@]}" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "==> $dir: tests"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

suite build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNI_WERROR=ON
# The packages, from the programs built as they ship (Release, which also
# keeps -O3's warnings out of the code), installed and removed on this machine.
echo "==> build-package: configure and build"
rm -rf build-package
cmake -S . -B build-package -G Ninja -Wno-dev "${launcher[@]}" -DCMAKE_BUILD_TYPE=Release -DTARNI_WERROR=ON \
  -DTARNI_BUILD_TESTS=OFF -DTARNI_BUILD_BENCH=OFF >/dev/null
cmake --build build-package -j "$jobs"
echo "==> build-package: packages"
tests/package/test-package.sh build-package

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
suite build-sanitize -DTARNI_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DTARNI_BUILD_BENCH=OFF -DTARNI_WERROR=ON

# Every reader of outside input under libFuzzer with ASan and UBSan, 20 s per
# target on its seed corpus (tests/fuzz, docs/reliability.md "Fuzzing").
echo "==> build-fuzz: configure and build"
rm -rf build-fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -Wno-dev "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNI_FUZZ=ON -DTARNI_WERROR=ON >/dev/null
cmake --build build-fuzz --target tarni_fuzzers -j "$jobs"
echo "==> build-fuzz: fuzz targets"
FUZZ_JOBS="$jobs" tests/fuzz/run-fuzzers.sh build-fuzz 20

# ThreadSanitizer on the code that runs threads of its own: the native host
# (a reader thread beside the one that forwards requests) and its tests, which
# pass TSAN_OPTIONS on to the hosts they start, and the application's side of
# that link, the bridge; and the tree's big writes, which run on a thread
# while the GUI thread's event loop turns. Only these targets are built, with
# line tables only (-g1), which keeps the build short.
echo "==> build-tsan: configure and build"
rm -rf build-tsan
cmake -S . -B build-tsan -G Ninja -Wno-dev "${launcher[@]}" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
  -DTARNI_TSAN=ON -DTARNI_BUILD_BENCH=OFF -DTARNI_WERROR=ON >/dev/null
tsan_tests=(host/test_TarniBarChromeHost host/test_NativeHostFormat core/chrome/test_ChromeNativeHostBridge
  core/tree/test_EditHistory)
cmake --build build-tsan -j "$jobs" --target TarniBarChromeHost "${tsan_tests[@]##*/}"
echo "==> build-tsan: tests"
for t in "${tsan_tests[@]}"; do
  TSAN_OPTIONS="halt_on_error=1" QT_QPA_PLATFORM=offscreen "build-tsan/tests/$t"
done
