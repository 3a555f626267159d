#!/usr/bin/env bash
# Runs the same statements on many scenes at once: each scene is loaded,
# worked on by STATEMENTS.lwh and saved as OUTDIR/NAME, several lwheadless
# runs side by side. Every scene's output goes to OUTDIR/NAME.log and its exit
# code to OUTDIR/NAME.exit; OUTDIR/summary.tsv lists them all. The world motion
# reports, in JSON, go to OUTDIR/NAME.jsonl, one object a re-parent run, and
# all of them, scene after scene, to OUTDIR/summary.jsonl.
#
# The scenes themselves are never written. A scene whose run fails has no
# OUTDIR/NAME: a scene that could not be loaded or worked on is saved
# nowhere, and what a run that met a fault still saved (a warning of the
# world motion report, say) is moved to OUTDIR/failed/NAME to be looked at.
# An OUTDIR/NAME already there is not replaced (that scene fails).
#
# usage: scripts/batch-scenes.sh [-j JOBS] OUTDIR STATEMENTS.lwh SCENE...
#   JOBS        scenes run at once (default: the number of processors)
#   LWHEADLESS  the tool (default: build/linux/tools/lwheadless)
#   KR_PLUGIN   the plug-in module (default: build/linux/KRtools.p)
# Exit code: 0 when every scene ran with exit code 0, 1 when one did not,
# 2 for bad usage (then nothing runs).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
self=$root/scripts/$(basename "${BASH_SOURCE[0]}")

# One scene; xargs starts this, several at a time, with the settings exported.
if [ "${1-}" = --one ]; then
    scene=$2
    name=${scene##*/}
    out=$BATCH_OUT/$name
    existed=0
    if [ -e "$out" ] || [ -L "$out" ]; then existed=1; fi
    "$LWHEADLESS" "$KR_PLUGIN" -e "report-json \"$out.jsonl\"" -e "load \"$scene\"" "$BATCH_STATEMENTS" \
        -e "save \"$out\"" >"$out.log" 2>&1 </dev/null
    code=$?
    # A file this run saved despite a fault is kept apart from the good ones,
    # beside any kept from earlier runs.
    if [ "$code" != 0 ] && [ "$existed" = 0 ] && [ -e "$out" ]; then
        base=${name%.*} n=1
        kept=$BATCH_OUT/failed/$name
        while [ -e "$kept" ]; do kept=$BATCH_OUT/failed/$base.$n${name#"$base"} n=$((n + 1)); done
        mkdir -p "$BATCH_OUT/failed" && mv -- "$out" "$kept" && echo "$kept" >"$out.kept"
    fi
    echo "$code" >"$out.exit"
    exit 0
fi

usage() {
    echo "usage: $0 [-j JOBS] OUTDIR STATEMENTS.lwh SCENE..." >&2
    exit 2
}
jobs=$(nproc 2>/dev/null || echo 2)
if [ "${1-}" = -j ]; then
    [ $# -ge 2 ] || usage
    jobs=$2
    shift 2
fi
[ $# -ge 3 ] || usage
case $jobs in '' | *[!0-9]* | 0) echo "$0: -j needs a number of jobs above 0" >&2; exit 2 ;; esac
outdir=$1 statements=$2
shift 2

# Each run would use every core by itself: the cores are shared out among
# the runs side by side instead (LWHEADLESS_THREADS, when set, is kept).
cores=$(nproc 2>/dev/null || echo 2)
export LWHEADLESS_THREADS=${LWHEADLESS_THREADS:-$((cores > jobs ? cores / jobs : 1))}
export LWHEADLESS=${LWHEADLESS:-$root/build/linux/tools/lwheadless}
export KR_PLUGIN=${KR_PLUGIN:-$root/build/linux/KRtools.p}
[ -x "$LWHEADLESS" ] || { echo "$0: no tool at $LWHEADLESS (set LWHEADLESS)" >&2; exit 2; }
[ -f "$statements" ] || { echo "$0: no statements file $statements" >&2; exit 2; }

# The tool reads names in double quotes; two scenes of one name would write
# one output.
declare -A seen=()
scenes=()
for scene in "$@"; do
    [ -f "$scene" ] || { echo "$0: $scene: no such scene file" >&2; exit 2; }
    case $scene in *'"'* | *$'\n'*) echo "$0: $scene: a double quote or line break in a name cannot be loaded" >&2; exit 2 ;; esac
    name=${scene##*/}
    [ -z "${seen[$name]-}" ] || { echo "$0: $scene and ${seen[$name]} would both be saved as $name" >&2; exit 2; }
    seen[$name]=$scene
    scenes+=("$(cd "$(dirname "$scene")" && pwd)/$name")
done
mkdir -p "$outdir" || exit 2
BATCH_OUT=$(cd "$outdir" && pwd) || exit 2
BATCH_STATEMENTS=$(cd "$(dirname "$statements")" && pwd)/${statements##*/}
export BATCH_OUT BATCH_STATEMENTS
for scene in "${scenes[@]}"; do rm -f "$BATCH_OUT/${scene##*/}".{exit,kept,jsonl}; done

printf '%s\0' "${scenes[@]}" | xargs -0 -n 1 -P "$jobs" bash "$self" --one

# Each scene's exit code and where its result and report are.
failed=0
summary=$BATCH_OUT/summary.tsv
printf 'exit\tscene\tsaved\treport\n' >"$summary"
: >"$BATCH_OUT/summary.jsonl"
for scene in "${scenes[@]}"; do
    name=${scene##*/}
    code=$(cat "$BATCH_OUT/$name.exit" 2>/dev/null || echo none)
    saved=-
    if [ "$code" = 0 ]; then saved=$BATCH_OUT/$name
    elif [ -f "$BATCH_OUT/$name.kept" ]; then saved=$(cat "$BATCH_OUT/$name.kept")
    fi
    [ "$code" = 0 ] || failed=$((failed + 1))
    printf '%s\t%s\t%s\t%s\n' "$code" "$scene" "$saved" "$BATCH_OUT/$name.log" >>"$summary"
    [ ! -f "$BATCH_OUT/$name.jsonl" ] || cat "$BATCH_OUT/$name.jsonl" >>"$BATCH_OUT/summary.jsonl"
    rm -f "$BATCH_OUT/$name.kept"
done
column -t -s $'\t' "$summary" 2>/dev/null || cat "$summary"
echo "batch: ${#scenes[@]} scenes, $((${#scenes[@]} - failed)) saved, $failed failed (summary: $summary," \
    "reports in JSON: $BATCH_OUT/summary.jsonl)"
[ "$failed" = 0 ]
