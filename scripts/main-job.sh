#!/usr/bin/env bash
# Builds the plug-in for Windows x64 and for Linux, runs the bundled
# examples through the headless host and packs the Windows plug-in with the
# animator's guide.
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

# The tolerance panel, scripted: what the world-position re-parents hold between keys.
"$build_root/linux/tools/lwheadless" "$build_root/linux/KRtools.p" "$root/examples/wpos-tolerance-panel.lwh"

# The animator's package beside the build: the Windows plug-in with its guide,
# in one archive named with the plug-in's version.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_root/windows/CMakeCache.txt")
if [ -z "$version" ]; then
    echo "no project version in $build_root/windows/CMakeCache.txt" >&2
    exit 1
fi
package=KRtools-$version-win64
staging=$(mktemp -d "$build_root/.package.XXXXXXXX")
trap 'rm -rf "$staging"' EXIT
mkdir -p "$staging/$package/docs"
cp "$build_root/windows/KRtools.p" "$root/README.md" "$staging/$package/"
cp "$root/docs/link-panel.svg" "$staging/$package/docs/"
# The guide sits at the top of the package; its links follow it there.
sed -e 's#](\.\./README\.md#](README.md#g' -e 's#](link-panel\.svg)#](docs/link-panel.svg)#g' \
    "$root/docs/animator.md" >"$staging/$package/README-animator.md"
(cd "$staging" && zip -qrX "$package.zip" "$package")
mv -f "$staging/$package.zip" "$build_root/$package.zip"
echo "Package for Layout:  $build_root/$package.zip"
