#!/usr/bin/env bash
# Builds and runs every test: natively, under AddressSanitizer and
# UndefinedBehaviorSanitizer, the native suite again under valgrind's memcheck,
# the Windows build under wine, and each libFuzzer target for a bounded time.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
"$root/scripts/install-deps.sh"

run_suite() {  # name, extra cmake arguments...
    local name=$1; shift
    echo "=== $name ==="
    configure_and_build "$name" "$@"
    ctest --test-dir "$build_root/$name" --output-on-failure -j "$jobs"
}

run_suite native -DKR_TESTS=ON -DKR_BENCH=ON
echo "=== valgrind ==="
"$root/scripts/valgrind-suite.sh" "$build_root/native"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite sanitize -DKR_SANITIZE=ON
start_wine_server
run_suite windows-tests "${windows_args[@]}"
echo "=== fuzz ==="
"$root/scripts/fuzz-suite.sh"
echo "all test suites passed"
