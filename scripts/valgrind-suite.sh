#!/usr/bin/env bash
# Runs every test executable of a built native suite, and the tool on the
# bundled examples, under valgrind's memcheck: any invalid access, use of an
# uninitialised value, or definitely or indirectly lost block fails the run.
# Usage: valgrind-suite.sh [build directory]   (default: build/native)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build=${1:-$build_root/native}
log_dir=$build/valgrind
rm -rf "$log_dir" && mkdir -p "$log_dir"

memcheck=(valgrind --tool=memcheck --error-exitcode=1 --leak-check=full
          --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect
          --track-origins=yes --num-callers=30)

run_one() {  # log name, command...
    local name=$1; shift
    if "${memcheck[@]}" --log-file="$log_dir/$name.log" "$@" >"$log_dir/$name.out" 2>&1; then
        echo "clean: $name ($(grep -ho 'ERROR SUMMARY: [0-9]* errors' "$log_dir/$name.log" | head -1))"
    else
        echo "FAILED: $name"
        cat "$log_dir/$name.log" "$log_dir/$name.out" | tail -80
        return 1
    fi
}
export -f run_one
export log_dir
export memcheck_words="${memcheck[*]}"

jobs_list=()
for test in "$build"/tests/*_test; do
    [ -x "$test" ] && jobs_list+=("$(basename "$test")|$test")
done
for example in "$root"/examples/*.lwh; do
    jobs_list+=("lwheadless-$(basename "$example" .lwh)|$build/tools/lwheadless $build/KRtools.p $example")
done
[ ${#jobs_list[@]} -gt 0 ] || { echo "no test executables in $build"; exit 1; }

# Two at a time: memcheck is single-threaded and slow. Files the examples
# write land beside the logs, not in the caller's directory.
cd "$log_dir"
failed=0
printf '%s\n' "${jobs_list[@]}" | xargs -P "$jobs" -I{} bash -c '
    entry="{}"; name=${entry%%|*}; command=${entry#*|}
    memcheck=($memcheck_words); run_one "$name" $command' || failed=1

summary=$(cat "$log_dir"/*.log | grep -c "ERROR SUMMARY: 0 errors" || true)
echo "valgrind: $summary of ${#jobs_list[@]} programs with 0 errors"
[ "$failed" = 0 ] && [ "$summary" = ${#jobs_list[@]} ]
