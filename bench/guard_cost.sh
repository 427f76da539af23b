#!/bin/sh
# The guard's cost follows the run's own files, not the machine: the 12-byte run beside 5,000
# mounts, with its inputs on an overlay; beside 512 loop devices with an existing 4 GiB log and
# standard output on a file; with its inputs on a file system on a loop device; and three loop
# devices deep. Each timed by turns with cmp -l. As root, in the caller's mount namespace: what it
# mounts and attaches goes again at its end.
#
#   bench/guard_cost.sh PAIRSCAN INTERLEAVE TINY1 TINY2
set -eu
pairscan=$1 interleave=$2
tiny1=$(realpath "$3") tiny2=$(realpath "$4")
work=$(mktemp -d /tmp/pairscan-guard-XXXXXX)
loops=""
# A loop device still mounted is let go once unmounted: the chain from the top down.
cleanup() {
    set +e
    for loop in $loops; do losetup -d "$loop"; done
    umount chain inner fs 2>/dev/null
    cd / && umount -R "$work" && rm -rf "$work"
}
trap cleanup EXIT
mount -t tmpfs guard "$work" && cd "$work"
cp "$tiny1" tiny1
cp "$tiny2" tiny2
: > log
mkdir lower upper work ov mounts fs chain
by_turns() { # label interleave-arguments...
    label=$1
    shift
    printf "%-46s %s\n" "$label:" "$("$interleave" 2000 "$@" | sed 's/ x/ x cmp -l/')"
}
cp tiny1 tiny2 lower && mount -t overlay overlay -o lowerdir=lower,upperdir=upper,workdir=work ov
i=0
while [ $i -lt 5000 ]; do
    mkdir mounts/$i
    mount -t tmpfs -o size=4k mount mounts/$i
    i=$((i + 1))
done
by_turns "the same on tmpfs, 5,000 mounts beside" "$pairscan" tiny1 tiny2 log -- \
    cmp -l tiny1 tiny2
by_turns "the same, its inputs on an overlay" "$pairscan" ov/tiny1 ov/tiny2 ov/log -- \
    cmp -l ov/tiny1 ov/tiny2
strace -c -o calls "$pairscan" tiny1 tiny2 log > /dev/null 2>&1
echo "  system calls of the run on tmpfs: $(awk '$NF == "total" { print $4 }' calls)"
for mount in mounts/*; do umount "$mount"; done
i=0
while [ $i -lt 512 ]; do
    truncate -s 1M image$i
    loops="$loops $(losetup -f --show image$i)"
    i=$((i + 1))
done
truncate -s 4G biglog
by_turns "512 loop devices, a 4 GiB log, output to a file" --output out "$pairscan" tiny1 \
    tiny2 biglog -- cmp -l tiny1 tiny2
strace -c -o calls "$pairscan" tiny1 tiny2 biglog >> out 2>&1
echo "  system calls of that run: $(awk '$NF == "total" { print $4 }' calls)"
# ext2 in an image on a loop device; the chain: an image in it, on a loop device, holding a
# third image on a third loop device.
mke2fs -q -F -t ext2 fs.img 16M && loop=$(losetup -f --show fs.img) && loops="$loops $loop"
mount "$loop" fs && cp tiny1 tiny2 fs && mke2fs -q -F -t ext2 fs/inner.img 8M
loop=$(losetup -f --show fs/inner.img) && loops="$loops $loop" && mkdir -p inner
mount "$loop" inner && mke2fs -q -F -t ext2 inner/third.img 4M
loop=$(losetup -f --show inner/third.img) && loops="$loops $loop"
mount "$loop" chain && cp tiny1 tiny2 chain
by_turns "512 loop devices, inputs on a loop file system" "$pairscan" fs/tiny1 fs/tiny2 log -- \
    cmp -l fs/tiny1 fs/tiny2
by_turns "512 loop devices, inputs three loop devices deep" "$pairscan" chain/tiny1 \
    chain/tiny2 log -- cmp -l chain/tiny1 chain/tiny2
