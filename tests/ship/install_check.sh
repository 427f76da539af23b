#!/bin/sh
# Installs into a scratch DESTDIR, checks the layout, and checks that the installed binary reports
# on the examples exactly as the build tree's binary does.
set -eu
build=$1
source=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

DESTDIR=$stage/root cmake --install "$build" --prefix /usr > /dev/null
found=$(cd "$stage/root" && find . -type f | sort)
expected='./usr/bin/pairscan
./usr/share/doc/pairscan/README
./usr/share/doc/pairscan/changelog.gz
./usr/share/doc/pairscan/copyright
./usr/share/man/man1/pairscan.1.gz'
if [ "$found" != "$expected" ]; then
    printf 'installed files:\n%s\nexpected:\n%s\n' "$found" "$expected"
    exit 1
fi

for tool in built:"$build/pairscan" installed:"$stage/root/usr/bin/pairscan"; do
    dir=$stage/${tool%%:*}
    mkdir "$dir"
    cp "$source/examples/first.txt" "$source/examples/second.txt" "$dir"
    status=0
    (cd "$dir" && "${tool#*:}" first.txt second.txt example.log v > out 2> err) || status=$?
    echo "$status" > "$dir/status"
done
for file in out err status example.log; do
    cmp "$stage/built/$file" "$stage/installed/$file"
done
