#!/usr/bin/env bash
# The whole-take benchmark: 60 items keyed on every frame, all un-parented
# keeping their world motion (the whole command line also with a tolerance), at each frame count given (default 300 3000):
# step by step in one process, then as the whole lwheadless command line.
# With --blender FRAMES..., the same take baked in Blender in the same run, for
# comparison; where `assimp` is installed, Assimp's `assimp info` reads each
# file beside lwheadless loading it alone (neither is needed otherwise, nor a
# build or test dependency).
#
#   bench/chain_bench.sh [-b BUILD_DIR] [-r REPEATS] [FRAMES...] [--blender FRAMES...]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build="$here/../build/native"
repeats=3
frames=()
blender_frames=()
while (($#)); do
    case "$1" in
    -b) build=$2; shift 2 ;;
    -r) repeats=$2; shift 2 ;;
    --blender) shift; blender_frames=("$@"); break ;;
    *) frames+=("$1"); shift ;;
    esac
done
((${#frames[@]})) || frames=(300 3000)

bench="$build/bench/chain_bench"
[[ -x $bench ]] || { echo "no $bench: configure with -DKR_BENCH=ON and build chain_bench" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The same take as a user runs it: the whole lwheadless command line, wall
# time and peak memory of the process (best of the repeats).
tool="$build/tools/lwheadless"
plugin=$(ls "$build"/KRtools.p 2>/dev/null || true)
# Wall time (to the millisecond) and peak memory of one run of a command: "SECONDS KB".
timed_run() {
    local start=$EPOCHREALTIME line
    line=$(/usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -1)
    awk -v a="$start" -v b="$EPOCHREALTIME" -v kb="$line" 'BEGIN { printf "%.3f %d\n", b - a, kb }'
}
# Peak memory as the system counts it (kibibytes) in megabytes.
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k * 1024 / 1e6 }'; }
# The better of two "SECONDS KB" pairs, each field apart.
better() { awk -v a="$1" -v b="$2" 'BEGIN { split(a, x, " "); split(b, y, " "); if (a == "") { print b; exit }
    printf "%.3f %d\n", (y[1] < x[1] ? y[1] : x[1]), (y[2] < x[2] ? y[2] : x[2]) }'; }
# Best wall time and peak memory of a command over the repeats: "SECONDS KB".
best_of() {
    local best="" i
    for ((i = 0; i < repeats; ++i)); do best=$(better "$best" "$(timed_run "$@")"); done
    echo "$best"
}
whole_run() {  # scene [tolerance arguments]
    local scene=$1 arguments=${2:-} script="$work/unparent.lwh" i
    {
        echo "load $scene"
        printf 'select'
        for ((i = 1; i < 60; ++i)); do printf ' b%d' "$i"; done
        echo
        echo "run KR_unParent_wPos $arguments"
        echo "save --force $work/saved.lws"
    } >"$script"
    # Without a tolerance, taking turns with the same run held to one thread:
    # what the second core gives.
    local best="" single=""
    for ((i = 0; i < repeats; ++i)); do
        best=$(better "$best" "$(timed_run "$tool" "$plugin" "$script")")
        [[ -n $arguments ]] || single=$(better "$single" "$(timed_run env LWHEADLESS_THREADS=1 "$tool" "$plugin" "$script")")
    done
    printf '  %-19s %s s, %s MB peak\n' "lwheadless${arguments:+ $arguments}" "${best% *}" "$(mb "${best#* }")"
    awk -v k="${best#* }" -v f="$(stat -c %s "$scene")" 'BEGIN { printf "  peak memory is %.2f times the file\n", k * 1024 / f }'
    if [[ -n $single ]]; then
        printf '  %-19s %s s, %s MB peak\n' "lwheadless, 1 thread" "${single% *}" "$(mb "${single#* }")"
        awk -v a="${best% *}" -v b="${single% *}" 'BEGIN { printf "  all cores take %.2f of the time one thread takes\n", a / b }'
    fi
    rm -f "$script" "$work/saved.lws"
}
# Reading alone, as a whole process: lwheadless loading the file, and
# Assimp's command line reading it and printing what it holds, taking turns
# so that both see the same load on the machine.
read_runs() {  # scene
    local scene=$1 ours="" theirs="" i
    echo "load $scene" >"$work/load.lwh"
    for ((i = 0; i < repeats; ++i)); do
        ours=$(better "$ours" "$(timed_run "$tool" "$plugin" "$work/load.lwh")")
        if command -v assimp >/dev/null; then theirs=$(better "$theirs" "$(timed_run assimp info "$scene")"); fi
    done
    printf '  %-19s %s s, %s MB peak\n' "lwheadless load" "${ours% *}" "$(mb "${ours#* }")"
    if [[ -n $theirs ]]; then
        printf '  %-19s %s s, %s MB peak\n' "assimp info" "${theirs% *}" "$(mb "${theirs#* }")"
        awk -v a="${ours% *}" -v b="${theirs% *}" 'BEGIN { printf "  reading takes %.2f of the time assimp info takes\n", a / b }'
    fi
    rm -f "$work/load.lwh"
}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
for f in "${frames[@]}"; do
    python3 "$here/gen_chain_lws.py" "$f" "$work/chain$f.lws"
    echo "== $f frames, $(($(stat -c %s "$work/chain$f.lws") / 1000)) kB"
    "$bench" "$work/chain$f.lws" "$repeats"
    if [[ -x $tool && -n $plugin && -x /usr/bin/time ]]; then
        whole_run "$work/chain$f.lws"
        # Holding the motion between the keys as well.
        whole_run "$work/chain$f.lws" "0.01 0.05"
        read_runs "$work/chain$f.lws"
    fi
    rm -f "$work/chain$f.lws"
done
for f in "${blender_frames[@]}"; do
    echo "== Blender bake, $f frames"
    blender -b --python "$here/blender_bake.py" -- "$f" 2>&1 | grep '^BAKE'
done
