#!/usr/bin/env bash
# Builds the Debian packages from a built CMake folder (system layout) and writes them into that folder:
#   obs-kelvara-banner_<version>_<arch>.deb         the stripped module, its data, copyright and changelog
#   obs-kelvara-banner-dbgsym_<version>_<arch>.deb  the module's debug information, which gdb finds by the
#                                                   module's build ID under /usr/lib/debug/.build-id/
# The version is the newest entry of packaging/debian/changelog: the project's version and a Debian revision.
# Usage: packaging/build-deb.sh <build folder>
set -euo pipefail

build=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
name=obs-kelvara-banner

version=$(dpkg-parsechangelog -l "$here/debian/changelog" -S Version)
project_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
if [[ "${version%-*}" != "$project_version" ]]; then
    echo "build-deb: the newest entry of packaging/debian/changelog is $version, the project is $project_version" >&2
    exit 1
fi
arch=$(dpkg --print-architecture)

# The trees are laid out as debhelper lays them out, debian/<package>/.
work=$build/deb
main=$work/debian/$name
dbgsym=$work/debian/$name-dbgsym
rm -rf "$work" "$build/${name}_"*.deb "$build/$name-dbgsym_"*.deb
DESTDIR=$main cmake --install "$build" --prefix /usr >/dev/null

mapfile -t modules < <(find "$main" -name '*.so')
if [[ ${#modules[@]} -ne 1 || ${modules[0]} != "$main"/usr/lib/*/obs-plugins/kelvara-banner.so ]]; then
    echo "build-deb: expected the module alone, in usr/lib/<multiarch>/obs-plugins/ (system layout): ${modules[*]}" >&2
    exit 1
fi
module=${modules[0]}

# Split off the debug information as dh_strip does: compressed, named after the build ID, and the module
# stripped of everything it does not need to load.
build_id=$(readelf -n "$module" | sed -n 's/^ *Build ID: *//p')
: "${build_id:?the module has no build ID}"
debug_file=$dbgsym/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug
mkdir -p "$(dirname "$debug_file")"
objcopy --only-keep-debug --compress-debug-sections "$module" "$debug_file"
strip --remove-section=.comment --remove-section=.note --strip-unneeded "$module"

doc=$main/usr/share/doc/$name
mkdir -p "$doc" "$main/usr/share/lintian/overrides" "$dbgsym/usr/share/doc"
cp "$here/debian/copyright" "$doc/copyright"
gzip -9n <"$here/debian/changelog" >"$doc/changelog.Debian.gz" # -n: no name or time stamp inside
cp "$here/debian/lintian-overrides" "$main/usr/share/lintian/overrides/$name"
ln -s "$name" "$dbgsym/usr/share/doc/$name-dbgsym" # the debug package depends on this exact version

for tree in "$main" "$dbgsym"; do
    mkdir -p "$tree/DEBIAN"
    (cd "$tree" && find usr -type f | LC_ALL=C sort | xargs -r -d '\n' md5sum >DEBIAN/md5sums)
done

# dpkg-shlibdeps insists on a debian/control, although it needs nothing from it here.
: >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O "$module" | sed -n 's/^shlibs:Depends=//p')

# Breaks: OBS Studio before 30 is built on Qt 5 (Debian 12's obs-studio 29.0.2), and a Qt 6 module cannot live
# in that process. Hosts without Debian's obs-studio package are not concerned.
cat >"$main/DEBIAN/control" <<EOF
Package: $name
Version: $version
Architecture: $arch
Maintainer: Kelvara for OBS <obs@kelvara.com>
Installed-Size: $(du -sk --apparent-size --exclude=DEBIAN "$main" | cut -f1)
Depends: $depends
Breaks: obs-studio (<< 30)
Section: video
Priority: optional
Description: Kelvara banner source for OBS Studio with explicit revision approval
 A video source for OBS Studio that shows a Kelvara banner on the stream,
 optionally with a QR code that leads viewers to the banner's page.
 .
 The source checks the Kelvara service for new revisions of the banner every
 60 to 3600 seconds. A new revision never goes on air by itself: it waits as a
 candidate until the operator accepts it in a preview dialog. Only revisions
 that differ from the approved one by a filter change alone are approved
 automatically. If the service or the network fails, the approved banner stays
 on air. Approvals are kept per source and survive restarts of OBS Studio.
 .
 The module needs OBS Studio 30 or later built on Qt 6.
EOF

cat >"$dbgsym/DEBIAN/control" <<EOF
Package: $name-dbgsym
Source: $name
Version: $version
Architecture: $arch
Maintainer: Kelvara for OBS <obs@kelvara.com>
Installed-Size: $(du -sk --apparent-size --exclude=DEBIAN "$dbgsym" | cut -f1)
Depends: $name (= $version)
Section: debug
Priority: optional
Auto-Built-Package: debug-symbols
Build-Ids: $build_id
Description: debug symbols for $name
EOF

# Whatever the umask: directories 755, files 644 (the module too, as Debian installs shared objects).
find "$main" "$dbgsym" -type d -exec chmod 755 {} + -o -type f -exec chmod 644 {} +
for tree in "$main" "$dbgsym"; do
    dpkg-deb --root-owner-group --build "$tree" "$build/$(basename "$tree")_${version}_$arch.deb"
done
