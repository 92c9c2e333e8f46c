#!/usr/bin/env bash
# Runs the CTest cases of a Windows build (cmake/mingw-w64-x86_64.cmake) under Wine: headless, in a fresh
# Wine prefix that is removed afterwards with the wineserver's own folder. Usage: wine-ctest.sh BUILD_DIR
# [ctest options...]
set -euo pipefail

build_dir=$1
shift
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvara-wine-XXXXXX")
cleanup() {
    wineserver -k 2>/dev/null && wineserver -w 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

export WINEPREFIX="$scratch/prefix" WINEARCH=win64
export TMPDIR="$scratch" # where the wineserver puts its socket folder
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" # no prompts to install Mono or Gecko
unset DISPLAY WAYLAND_DISPLAY             # no window, no X server needed

# Made once here: test processes started in parallel would otherwise each begin to create the prefix. Its
# messages (among them one about the 32-bit half, which 64-bit programs do not need) only matter on failure.
if ! wineboot --init >"$scratch/wineboot.log" 2>&1; then
    cat "$scratch/wineboot.log" >&2
    exit 1
fi
ctest --test-dir "$build_dir" "$@"
