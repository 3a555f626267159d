# Shared by the build scripts: where things are and how to configure them.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_root=${KR_BUILD_DIR:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)
export WINEDEBUG=${WINEDEBUG:--all}
# Keep wine's state beside the build, not in the user's home.
export WINEPREFIX=${WINEPREFIX:-$build_root/wineprefix}

configure_and_build() {  # name, extra cmake arguments...
    local name=$1; shift
    cmake -S "$root" -B "$build_root/$name" -G Ninja "$@" >/dev/null
    cmake --build "$build_root/$name" -j "$jobs"
}

# Tests that start wine together on a fresh prefix race to start its server
# ("chdir to /tmp/wine-...: No such file or directory"). Prepare the prefix
# once and keep one server up until the calling script ends.
start_wine_server() {
    mkdir -p "$WINEPREFIX"
    wineserver --persistent
    trap 'wineserver --kill 2>/dev/null || true' EXIT
    wineboot --init >/dev/null 2>&1
}

windows_args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake")
