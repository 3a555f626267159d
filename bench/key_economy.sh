#!/usr/bin/env bash
# Key economy of holding world motion between keys: for each case, the
# re-parented item's own key frames, its key frames after the command with a
# tolerance, and the frames a bake would key, from one run of lwheadless each.
#
#   bench/key_economy.sh [-b BUILD_DIR] [SHARED_TESTDATA_DIR]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build="$here/../build/native"
if [[ ${1:-} == -b ]]; then build=$2; shift 2; fi
shared=${1:-$here/../../shared/testdata/lws}
tool="$build/tools/lwheadless"
plugin="$build/KRtools.p"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Distinct key frames of an item's position and rotation channels (or, with
# "scale", of its scale channels) in a scene file (LWSC 3 or later).
count() {  # file item-name [scale]
    python3 - "$1" "$2" "${3:-}" <<'EOF'
import sys
path, name = sys.argv[1], sys.argv[2]
channels = range(6, 9) if sys.argv[3] == "scale" else range(0, 6)
lines = open(path, encoding="latin-1").read().split("\n")
fps = 30.0
for line in lines:
    if line.startswith("FramesPerSecond"):
        fps = float(line.split()[1])
frames, inside, channel = set(), False, -1
for line in lines:
    words = line.split()
    if not words:
        continue
    if words[0] in ("LoadObjectLayer", "LoadObject", "AddNullObject", "AddLight", "AddCamera", "AddBone"):
        inside = False
    if words[0] in ("LoadObjectLayer", "LoadObject", "AddNullObject", "AddBone") and (
            line.rstrip().endswith(name) or line.rstrip().endswith("/" + name + ".lwo")):
        inside = True
    if words[0] in ("CameraName", "LightName", "BoneName") and " ".join(words[1:]) == name:
        inside = True
    if words[0] == "Channel":
        channel = int(words[1])
    if inside and words[0] == "Key" and channel in channels:
        frames.add(round(float(words[2]) * fps))
print(len(frames))
EOF
}

row() {  # label scene item tolerance statements...
    local label=$1 scene=$2 item=$3 tolerance=$4
    shift 4
    local script=(-e "load $scene")
    for s in "$@"; do script+=(-e "$s"); done
    local out
    out=$("$tool" "$plugin" "${script[@]}" -e "save --force $work/after.lws" 2>&1 || true)
    local span
    span=$(sed -n 's/.*every frame \(-\{0,1\}[0-9]*\) to \(-\{0,1\}[0-9]*\):.*/\1 \2/p' <<<"$out" | head -1)
    local bake=$(( ${span#* } - ${span% *} + 1 ))
    local note
    note=$(sed -n 's/.*message \(info\|warning\): "wPos tolerance \(.*\)"$/\2/p' <<<"$out" | head -1)
    printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "$label" "$tolerance" "$(count "$scene" "$item")" \
        "$(count "$work/after.lws" "$item")" "$(count "$scene" "$item" scale)" "$(count "$work/after.lws" "$item" scale)" \
        "$bake" "${note:-held}"
}

echo "| case | tolerance | own key frames | key frames after | own scale key frames | scale key frames after | baking | |"
echo "|---|---|---|---|---|---|---|---|"
ex="$here/../examples"
row "carried_cup.lws: Cup under Cart" "$ex/carried_cup.lws" Cup "0.001 0.05" \
    "select Cart" "run KR_memItem" "select Cup" "run KR_setParent_wPos 0.001 0.05"
row "resized_model.lws: Trail out of its 0.005 resizer" "$ex/resized_model.lws" Trail "0.001 0.05" \
    "select Trail" "run KR_unParent_wPos 0.001 0.05"
row "resized_model.lws: Title out of its growing credits rig" "$ex/resized_model.lws" Title "0.001 0.05" \
    "select Title" "run KR_unParent_wPos 0.001 0.05"
row "character_rig.lws: HandGoal.L under Hips" "$ex/character_rig.lws" HandGoal.L "0.0001" \
    "select Hips" "run KR_memItem" "select HandGoal.L" "run KR_setParent_wPos 0.0001"
if [[ -d $shared ]]; then
    row "M02 takeoff: Camera un-parented" "$shared/astrofra__legacy-lightwave-projects__M02.seq_takeoff_02.lws" \
        Camera "0.01 0.05" "select Camera" "run KR_unParent_wPos 0.01 0.05"
    row "Smilla: right_arm_endchain under left_arm_endchain" \
        "$shared/astrofra__legacy-lightwave-projects__Smilla_IK.lws" right_arm_endchain "0.01 0.05" \
        "select left_arm_endchain" "run KR_memItem" "select right_arm_endchain" "run KR_setParent_wPos 0.01 0.05"
    row "QuickDraw: GP-Gun under Arm-Tip" "$shared/assimp__assimp__QuickDraw_v.2.2.lws" QuickDraw--GP-Gun \
        "0.01 0.05" "select QuickDraw--Arm-Tip" "run KR_memItem" "select QuickDraw--GP-Gun" \
        "run KR_setParent_wPos 0.01 0.05"
fi
