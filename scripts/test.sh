#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the plain build, the
# AddressSanitizer/UBSan build, the ThreadSanitizer build of the transfer tests and
# a bounded fuzz run of the archive reader, the signature parsers and the index
# reader; the plain build is also packaged
# (cpack -G DEB) and its package checked. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/setup.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

# Runs ctest and adds its count to the total reported at the end.
total=0
run_ctest() {
    local out
    out=$(mktemp)
    ctest "$@" 2>&1 | tee "$out"
    total=$((total + $(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$out" | tail -n 1)))
    rm -f "$out"
}

configure() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DUPDATER_WERROR=ON -DBUILD_TESTING=ON "$@" >/dev/null
}

echo "== plain build (build/), with the benchmark drivers, and its Debian package"
configure build -DUPDATER_BENCH=ON
cmake --build build -j "$jobs"
rm -f build/*.deb
(cd build && cpack -G DEB >/dev/null)
run_ctest --test-dir build -j "$jobs" --timeout 600

echo "== AddressSanitizer and UndefinedBehaviorSanitizer build (build-asan/)"
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=ON
cmake --build build-asan -j "$jobs"
UPDATER_TEST_TIMEOUT_SCALE=5 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    LSAN_OPTIONS=suppressions=$root/tests/sanitizer/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest --test-dir build-asan -j "$jobs" --timeout 900

echo "== ThreadSanitizer build of the transfer tests (build-tsan/)"
configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DUPDATER_TSAN=ON
cmake --build build-tsan -j "$jobs" --target net_tests
UPDATER_TEST_TIMEOUT_SCALE=10 TSAN_OPTIONS=suppressions=$root/tests/sanitizer/tsan.supp:halt_on_error=1:second_deadlock_stack=1 \
    run_ctest --test-dir build-tsan -L net --timeout 900

echo "== fuzzing the archive reader, the signature parsers and the index reader (build-fuzz/)"
configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DUPDATER_FUZZ=ON -DBUILD_TESTING=OFF
cmake --build build-fuzz -j "$jobs" --target fuzz_archive fuzz_signature fuzz_index
tests/fuzz/run.sh build-fuzz/fuzz_archive "${FUZZ_SECONDS:-60}"
tests/fuzz/run.sh build-fuzz/fuzz_signature "${FUZZ_SECONDS:-60}"
tests/fuzz/run.sh build-fuzz/fuzz_index "${FUZZ_SECONDS:-60}"

echo "== the share of test code"
scripts/test-share.sh

echo "== all tests passed"
echo "ctest: $total passed, 0 failed"
