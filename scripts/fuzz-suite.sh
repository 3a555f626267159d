#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# bounded time from a seed corpus taken from the examples. Any crash, leak,
# sanitizer report, failed check or hang fails the run.
# KR_FUZZ_SECONDS sets the time per target (default 60).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
seconds=${KR_FUZZ_SECONDS:-60}
build=$build_root/fuzz

configure_and_build fuzz -DKR_FUZZ=ON -DKR_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

seeds=$build/seeds
rm -rf "$seeds" && mkdir -p "$seeds"
for target in "$build"/fuzz/*_fuzz; do
    name=$(basename "$target" _fuzz)
    mkdir -p "$seeds/$name"
    [ -d "$root/fuzz/corpus/$name" ] && cp "$root/fuzz/corpus/$name"/* "$seeds/$name/"
done
# The command texts the plug-in sends on the example scripts, one seed each.
# Run beside the build: examples write files (the panel picture) where they run.
for example in "$root"/examples/*.lwh; do
    (cd "$build" && "$build/tools/lwheadless" "$build/KRtools.p" "$example" 2>/dev/null) | grep -o 'command "[^"]*"' |
        sed 's/^command "//; s/"$//' >"$seeds/command_interpreter/$(basename "$example" .lwh)" || true
done
# The example scenes as they are.
if [ -d "$seeds/lws_reader" ]; then
    for scene in "$root"/examples/*.lws; do [ -f "$scene" ] && cp "$scene" "$seeds/lws_reader/"; done
fi

summary=()
for target in "$build"/fuzz/*_fuzz; do
    name=$(basename "$target" _fuzz)
    work=$build/corpus/$name
    mkdir -p "$work"
    echo "=== fuzz $name for ${seconds}s ==="
    log=$build/$name.log
    if ! (cd "$build" && "$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
            "$work" "$seeds/$name" >"$log" 2>&1); then
        tail -60 "$log"
        echo "fuzz target $name failed; the input is in $build"
        exit 1
    fi
    runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    summary+=("$name: $runs runs in ${seconds}s, corpus $(ls "$work" | wc -l) inputs")
done
printf 'fuzz %s\n' "${summary[@]}"
