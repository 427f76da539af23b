#!/bin/sh
# Two builds of the same sources in different directories give byte-identical packages: the
# build directory's package is compared with one built from a copy of the sources elsewhere,
# configured alike.
set -eu
build=$1
source=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

mkdir "$stage/first" "$stage/elsewhere"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$stage/first" > /dev/null
tar -C "$source" --exclude=./build -cf - . | tar -C "$stage/elsewhere" -xf -
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
cmake -S "$stage/elsewhere" -B "$stage/elsewhere/out" -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE="$(cache CMAKE_BUILD_TYPE)" \
    -DCMAKE_INTERPROCEDURAL_OPTIMIZATION="$(cache CMAKE_INTERPROCEDURAL_OPTIMIZATION)" > /dev/null
cmake --build "$stage/elsewhere/out" > /dev/null
cpack -G DEB --config "$stage/elsewhere/out/CPackConfig.cmake" -B "$stage/second" > /dev/null
first=$(cd "$stage/first" && sha256sum ./*.deb)
second=$(cd "$stage/second" && sha256sum ./*.deb)
if [ "$first" != "$second" ]; then
    echo "the package differs when built in another directory"
    (cd "$stage" && for deb in first/*.deb second/*.deb; do dpkg-deb -c "$deb"; done)
    exit 1
fi
