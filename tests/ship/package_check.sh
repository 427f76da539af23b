#!/bin/sh
# Builds the Debian package and checks its name, fields and files: the binary, the compressed
# manual, the user's README, the copyright file and the changelog.
set -eu
build=$1
version=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$stage" > /dev/null
deb=$(ls "$stage"/*.deb)
[ "$(basename "$deb")" = "pairscan_${version}_amd64.deb" ] || { echo "named $deb"; exit 1; }
dpkg-deb -c "$deb" | awk '{ print $1, $6 }' > "$stage/contents"
for entry in '-rwxr-xr-x ./usr/bin/pairscan' '-rw-r--r-- ./usr/share/man/man1/pairscan.1.gz' \
    '-rw-r--r-- ./usr/share/doc/pairscan/README' '-rw-r--r-- ./usr/share/doc/pairscan/copyright' \
    '-rw-r--r-- ./usr/share/doc/pairscan/changelog.gz'; do
    grep -qxF -- "$entry" "$stage/contents" || { echo "missing: $entry"; cat "$stage/contents"; exit 1; }
done
[ "$(dpkg-deb -f "$deb" Package)" = pairscan ]
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ]
[ "$(dpkg-deb -f "$deb" Section)" = utils ]
dpkg-deb -f "$deb" Maintainer | grep -q '<.*@.*>'
# Linked dynamically, as distributions link, with the C library alone: the tool needs no C++
# runtime, and the package depends on what dpkg-shlibdeps computes, the C library.
needed=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/bin/pairscan > "$stage/pairscan" &&
    readelf -d "$stage/pairscan" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ "$needed" = libc.so.6 ] || { echo "NEEDED: $needed"; exit 1; }
depends=$(dpkg-deb -f "$deb" Depends)
case $depends in
libc6\ \(*\)) ;;
*) echo "Depends: $depends"; exit 1 ;;
esac
if grep -q lintian "$stage/contents"; then
    echo "ships a lintian override"
    exit 1
fi
