#!/usr/bin/env bash
# scripts/batch-scenes.sh on the example scenes, a malformed copy and a copy
# whose report warns: the runs must overlap, every exit code and report must
# be collected (the JSON reports in one summary), the good scenes saved, the
# malformed one saved nowhere, what the warned run saved kept apart, no scene
# written, and a second batch into the same folder must replace nothing.
# usage: batch_scenes_test.sh LWHEADLESS PLUGIN SOURCE_DIR WORK_DIR
set -euo pipefail
tool=$1 plugin=$2 source=$3 work=$4
rm -rf "$work" && mkdir -p "$work/in" "$work/started"
fail() { echo "FAILED: $*" >&2; exit 1; }

cp "$source"/examples/*.lws "$work/in/"
head -n 120 "$source/examples/vehicle.lws" >"$work/in/broken.lws"
sed '/^AddNullObject 10000001 LookAt/a HController 3' "$source/examples/character_rig.lws" >"$work/in/aimed.lws"
(cd "$work/in" && md5sum ./*.lws) >"$work/before.md5"
cat >"$work/statements.lwh" <<'EOF'
select 0x10000000
run KR_memItem
select 0x10000001
run KR_setParent_wPos
EOF
# Each run waits until another has started: run one at a time, they time out.
cat >"$work/tool.sh" <<EOF
#!/usr/bin/env bash
mktemp "$work/started/XXXXXX" >/dev/null
for _ in \$(seq 300); do
    [ \$(ls "$work/started" | wc -l) -ge 2 ] && exec "$tool" "\$@"
    sleep 0.1
done
echo "ran alone" >&2
exit 99
EOF
chmod +x "$work/tool.sh"

set +e
LWHEADLESS=$work/tool.sh KR_PLUGIN=$plugin "$source/scripts/batch-scenes.sh" -j 3 "$work/out" "$work/statements.lwh" \
    "$work"/in/*.lws >"$work/batch.out" 2>&1
code=$?
set -e
cat "$work/batch.out"
[ "$code" = 1 ] || fail "the batch exited with $code, expected 1"
(cd "$work/in" && md5sum -c --quiet "$work/before.md5") || fail "a scene was written"

expect() {  # scene, exit code, saved file or -
    grep -qxF "$2	$work/in/$1	$3	$work/out/$1.log" "$work/out/summary.tsv" ||
        fail "$1: expected exit $2 and saved $3 in the summary"
}
for scene in camera_rig carried_cup character_rig vehicle; do
    expect $scene.lws 0 "$work/out/$scene.lws"
done
expect broken.lws 1 -
expect aimed.lws 1 "$work/out/failed/aimed.lws"
if [ -e "$work/out/broken.lws" ] || [ -e "$work/out/aimed.lws" ]; then fail "a failed scene has a result among the good"; fi
grep -q "re-parented Cup \[10000001\]: (none) -> Cart" "$work/out/carried_cup.lws.log" || fail "carried_cup's report"
grep -q "warning: LookAt \[10000001\]: Layout moves it" "$work/out/aimed.lws.log" || fail "aimed's warning"
# Every run's JSON report reaches the summary: the five scenes that loaded ran one re-parent each.
# Every example and the warned copy ran; the malformed one did not.
ran=$(( $(ls "$source"/examples/*.lws | wc -l) + 1 ))
[ "$(wc -l <"$work/out/summary.jsonl")" = "$ran" ] || fail "summary.jsonl holds not one line for each scene that ran"
grep -qF '"scene":"'"$work/in/carried_cup.lws"'"' "$work/out/summary.jsonl" || fail "carried_cup's JSON report"

# Again into the same folder: the scene there fails and stays where it is.
(cd "$work/out" && md5sum ./*.lws) >"$work/saved.md5"
LWHEADLESS=$tool KR_PLUGIN=$plugin "$source/scripts/batch-scenes.sh" "$work/out" "$work/statements.lwh" \
    "$work/in/vehicle.lws" >/dev/null 2>&1 && fail "the second batch succeeded"
(cd "$work/out" && md5sum -c --quiet "$work/saved.md5") || fail "a saved scene was replaced"
expect vehicle.lws 1 -
echo "batch_scenes_test: passed"
