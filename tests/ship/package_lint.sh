#!/bin/sh
# lintian finds neither an error nor a warning in the Debian package.
set -eu
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$stage" > /dev/null
findings=$(lintian -I --pedantic --fail-on none --suppress-tags-from-file /dev/null "$stage"/*.deb 2>&1 |
    grep -E '^(E|W): ' || true)
[ -z "$findings" ] || { printf '%s\n' "$findings"; exit 1; }
