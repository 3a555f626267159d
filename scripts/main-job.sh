#!/usr/bin/env bash
# Builds the plug-in for Windows x64 and for Linux, then runs the bundled
# example through the headless host.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
"$root/scripts/install-deps.sh"

configure_and_build windows "${windows_args[@]}" -DKR_TESTS=OFF
configure_and_build linux -DKR_TESTS=OFF

echo
echo "Windows x64 plug-in: $build_root/windows/KRtools.p"
echo "Linux plug-in:       $build_root/linux/KRtools.p"
echo
out=$build_root/character_rig_linked.lws
"$build_root/linux/tools/lwheadless" --list "$build_root/linux/KRtools.p" "$root/examples/rig-links.lwh" \
    -e "save --force $out"
echo
echo "The changed scene: $out"

# Re-parent a keyed item while keeping its motion in the world, with the report.
"$build_root/linux/tools/lwheadless" "$build_root/linux/KRtools.p" "$root/examples/reparent-keep-motion.lwh"

# The link panel, scripted; its picture lands beside the build.
(cd "$build_root" && "$build_root/linux/tools/lwheadless" "$build_root/linux/KRtools.p" "$root/examples/link-panel.lwh")
echo "Link panel picture:  $build_root/link-panel.svg"
