#!/usr/bin/env bash
# Checks the packages that build-deb.sh wrote, as installed: the main package's Breaks field, a stripped
# module, and its debug information where gdb looks for it, /usr/lib/debug/.build-id/<2 hex digits>/<rest>.debug.
# Usage: packaging/check-deb.sh <build folder> <expected Breaks field>
set -euo pipefail

fail() {
    echo "check-deb: $*" >&2
    exit 1
}

main=$(echo "$1"/obs-kelvara-banner_*.deb)
dbgsym=$(echo "$1"/obs-kelvara-banner-dbgsym_*.deb)
breaks=$(dpkg-deb -f "$main" Breaks)
[[ "$breaks" == "$2" ]] || fail "$main: Breaks is '$breaks', expected '$2'"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$main" "$root"
dpkg-deb -x "$dbgsym" "$root"
module=$(echo "$root"/usr/lib/*/obs-plugins/kelvara-banner.so)
[[ -f "$module" ]] || fail "$main holds no module"
if readelf -S -W "$module" | grep -q -E ' \.(symtab|debug_info) '; then
    fail "$main: the module is not stripped"
fi
build_id=$(readelf -n "$module" | sed -n 's/^ *Build ID: *//p')
debug_file=$root/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug
[[ -n "$build_id" && -f "$debug_file" ]] || fail "$dbgsym holds no debug file for the module's build ID $build_id"
readelf -S -W "$debug_file" | grep -q ' \.debug_info ' || fail "$dbgsym: the debug file holds no debug information"
echo "check-deb: Breaks: $breaks; module stripped; debug information under build ID $build_id"
