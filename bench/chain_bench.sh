#!/usr/bin/env bash
# The whole-take benchmark: 60 items keyed on every frame, all un-parented
# keeping their world motion, at each frame count given (default 300 3000).
# With --blender FRAMES..., the same take baked in Blender in the same run, for
# comparison (Blender is not needed otherwise and is no build or test
# dependency).
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

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
for f in "${frames[@]}"; do
    python3 "$here/gen_chain_lws.py" "$f" "$work/chain$f.lws"
    echo "== $f frames, $(($(stat -c %s "$work/chain$f.lws") / 1000)) kB"
    "$bench" "$work/chain$f.lws" "$repeats"
    rm -f "$work/chain$f.lws"
done
for f in "${blender_frames[@]}"; do
    echo "== Blender bake, $f frames"
    blender -b --python "$here/blender_bake.py" -- "$f" 2>&1 | grep '^BAKE'
done
