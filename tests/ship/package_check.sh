#!/bin/sh
# Builds the Debian package and checks its fields and that the binary and the man page are where
# they belong.
set -eu
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$stage" > /dev/null
deb=$(ls "$stage"/*.deb)
dpkg-deb -c "$deb" | awk '{ print $1, $6 }' > "$stage/contents"
for entry in '-rwxr-xr-x ./usr/bin/pairscan' '-rw-r--r-- ./usr/share/man/man1/pairscan.1' \
    '-rw-r--r-- ./usr/share/doc/pairscan/README.md'; do
    grep -qxF -- "$entry" "$stage/contents" || { echo "missing: $entry"; cat "$stage/contents"; exit 1; }
done
[ "$(dpkg-deb -f "$deb" Package)" = pairscan ]
[ "$(dpkg-deb -f "$deb" Section)" = utils ]
dpkg-deb -f "$deb" Maintainer | grep -q '<.*@.*>'
dpkg-deb -f "$deb" Depends | grep -q 'libc6' # computed from the binary
