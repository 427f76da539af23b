#!/bin/sh
# Measures pairscan side by side with its floors, the plainest programs that do the same work,
# and with cmp, on data it makes itself. Prints each median wall time as a ratio, the write
# system calls per reported line, peak memory, and how buffer placement affects reading.
#
#   bench/run.sh [work-directory]
#
# Takes about 10 minutes on a 2-core machine and about 5 GiB of disk (and 3 GiB more in XFS and
# btrfs images where it runs as root with their mkfs). Without a work directory
# it makes one under /tmp and removes it at the end; a directory given is kept, with its data,
# for the next run.
#
# Floors: bench/skip_floor.cpp (as the mapped floor, but passing over holes in both files and
# blocks that both share, found by lseek and FIEMAP), bench/map_floor.cpp (both files mapped a 2 MiB window at a time, memcmp a page at a
# time, unmapped: no copy, constant memory; where the files differ, the same report lines with one
# write(2) each), bench/read_floor.cpp (read and memcmp a page at a time, 256 KiB requests,
# page-aligned buffers) and bench/write_floor.cpp (the same report lines, one write(2) per line per stream;
# with standard output on /dev/null, the log lines only); runs of a millisecond are also timed by
# turns with their peer (bench/interleave.cpp). Needs hyperfine, strace and GNU time.
# Where the page cache can be dropped (root), the data is read back from disk before timing, as
# files that were not just written are held; the cold-cache row needs it too. BLOCK_SIZES=1 also
# probes request sizes.
set -eu
# As root, the bench runs in a mount namespace of its own: what it mounts goes with it.
if [ "$(id -u)" = 0 ] && [ -z "${PAIRSCAN_BENCH_NAMESPACE:-}" ] && command -v unshare > /dev/null; then
    PAIRSCAN_BENCH_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
loops="" # attached by the bench, detached again however it ends
detach_loops() { for loop in $loops; do losetup -d "$loop"; done; loops=""; }
if [ $# -ge 1 ]; then
    work=$1
    mkdir -p "$work"
    trap 'detach_loops' EXIT
else
    work=$(mktemp -d /tmp/pairscan-bench-XXXXXX)
    trap 'detach_loops; umount "$work/xfs" "$work/btrfs" 2>/dev/null; rm -rf "$work"' EXIT
fi
cd "$work"
for tool in hyperfine strace /usr/bin/time cmp g++; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 1; }
done
started=$(date +%s)
(cd "$root" && cmake --workflow --preset release >/dev/null)
pairscan=$root/build/release/pairscan
g++ -O2 -std=c++20 -o map_floor "$root/bench/map_floor.cpp"
g++ -O2 -std=c++20 -o read_floor "$root/bench/read_floor.cpp"
g++ -O2 -std=c++20 -o skip_floor "$root/bench/skip_floor.cpp"
g++ -O2 -std=c++20 -o interleave "$root/bench/interleave.cpp"
interleave=$(pwd)/interleave
# Like the tool, the write floor loads no C++ runtime: a run over two tiny files costs what
# starting a C program costs.
g++ -O2 -std=c++20 -fno-exceptions -fno-rtti -Wl,--as-needed -o write_floor \
    "$root/bench/write_floor.cpp"
mib=1048576

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "making data in $work"
[ -f big1 ] || head -c $((1024 * mib)) /dev/urandom > big1
[ -f big2 ] || cp big1 big2
if [ ! -f sparse ]; then # one byte changed in every MiB
    cp big1 sparse
    i=0
    while [ $i -lt 1024 ]; do
        printf '\377' | dd of=sparse bs=1 seek=$((i * mib + 4099)) conv=notrunc status=none
        i=$((i + 1))
    done
fi
[ -f half1 ] || head -c $((512 * mib)) big1 > half1
[ -f half2 ] || cp half1 half2
[ -f halfsparse ] || head -c $((512 * mib)) sparse > halfsparse
[ -f mid1 ] || head -c $((64 * mib)) big1 > mid1
[ -f mid2 ] || cp mid1 mid2
[ -f all1 ] || head -c $((2 * mib)) big1 > all1
[ -f all2 ] || tr '\000-\377' '\001-\377\000' < all1 > all2 # every byte differs
[ -f one1 ] || head -c $mib big1 > one1
[ -f one2 ] || cp one1 one2
if [ ! -f holes1 ]; then # 8 GiB, sparse: 16 stretches of 4 MiB of data, the same in both
    truncate -s $((8192 * mib)) holes1
    i=0
    while [ $i -lt 16 ]; do
        dd if=big1 of=holes1 bs=4M count=1 skip=$i seek=$((i * 128)) conv=notrunc status=none
        i=$((i + 1))
    done
    cp --sparse=always holes1 holes2
    printf 'X' | dd of=holes2 bs=1 seek=$((5 * 512 * mib + 12345)) conv=notrunc status=none
fi
[ -f tiny1 ] || printf 'hello world\n' > tiny1
[ -f tiny2 ] || printf 'hello wOrld\n' > tiny2
# The page cache as a file read from disk holds it (large folios, which a window maps whole),
# rather than as a file just written does.
drop_caches() { sync && echo 3 2> /dev/null > /proc/sys/vm/drop_caches; }
if drop_caches; then
    cache="read back from disk"
else
    cache="as written (caches cannot be dropped here)"
fi
cat big1 big2 half1 half2 halfsparse > /dev/null
echo "page cache: $cache"

# The write floor must write exactly pairscan's report lines: standard output past the banner
# and announcement, the log between its head and its trailer (these inputs have equal lengths).
check_write_floor() { # args...
    "$pairscan" "$@" > ours.out && mv log ours.log
    ./write_floor "$@" > floor.out
    trailer=$(printf '\n\ndone comparing\nEOF' | wc -c)
    tail -c "$(wc -c < floor.out)" ours.out | cmp -s - floor.out &&
        head -c "$(($(wc -c < ours.log) - trailer))" ours.log | tail -c "$(wc -c < log)" |
        cmp -s - log || { echo "bench: the write floor's lines differ from pairscan's" >&2; exit 1; }
    rm -f ours.out ours.log floor.out
}
check_write_floor all1 all2 log
check_write_floor one1 one2 log v

# Times pairscan (the first command) beside its floor and a peer, if one is given, in one
# hyperfine run with standard output on `output` (null, or ./file); prints pairscan's median as
# a ratio to each. A failed run of pairscan or of its floor fails the bench; cmp, which exits
# with 1 on a difference, is given as a shell command that accepts that.
side_by_side() { # label runs output floor-name peer-name command...   (PREPARE: run before each)
    label=$1 runs=$2 output=$3 floor_name=$4 peer_name=$5
    shift 5
    hyperfine -N --style none --warmup "$([ -n "${PREPARE:-}" ] && echo 0 || echo 2)" \
        ${PREPARE:+--prepare "$PREPARE"} ${IGNORE_STATUS:+--ignore-failure} --runs "$runs" --output "$output" \
        --export-csv times.csv "$@" > /dev/null 2> hyperfine.err ||
        { cat hyperfine.err >&2; exit 1; }
    awk -F, -v label="$label" -v floor="$floor_name" -v peer="$peer_name" '
        NR == 2 { ours = $4 } NR == 3 { low = $4 } NR == 4 { other = $4 }
        END {
            printf "%-46s %.3f x %s", label ":", ours / low, floor
            if (other) printf ", %.3f x %s", ours / other, peer
            printf "   (%.2f ms; %s %.2f ms", ours * 1000, floor, low * 1000
            if (other) printf "; %s %.2f ms", peer, other * 1000
            printf ")\n"
        }' times.csv
}
tolerating_difference() { # a shell command for hyperfine that also accepts exit status 1
    echo "sh -c '$*; [ \$? -le 1 ]'"
}

# Times pairscan beside the mapped floor, the read floor and a peer, in one hyperfine run.
against_both_floors() { # label runs output prepare pairscan map-floor read-floor peer
    label=$1 runs=$2 output=$3 prepare=$4
    shift 4
    hyperfine -N --style none --warmup "$([ -n "$prepare" ] && echo 0 || echo 2)" --runs "$runs" \
        --output "$output" ${prepare:+--prepare "$prepare"} --export-csv times.csv "$@" \
        > /dev/null 2> hyperfine.err || { cat hyperfine.err >&2; exit 1; }
    awk -F, -v label="$label" '
        NR == 2 { ours = $4 } NR == 3 { mapped = $4 } NR == 4 { read = $4 } NR == 5 { peer = $4 }
        END {
            printf "%-46s %.3f x mapped floor, %.3f x read floor", label ":", ours / mapped, ours / read
            if (peer) printf ", %.3f x %s", ours / peer, "cmp"
            printf "   (%.1f ms; %.1f, %.1f", ours * 1000, mapped * 1000, read * 1000
            if (peer) printf ", %.1f", peer * 1000
            printf " ms)\n"
        }' times.csv
}

echo
echo "median wall time, pairscan / floor and pairscan / peer:"
against_both_floors "identical 512 MiB" 15 null "" "$pairscan half1 half2 log" \
    "./map_floor half1 half2" "./read_floor half1 half2" "cmp half1 half2"
against_both_floors "512 MiB differing once per MiB, output to a file" 15 ./out "" \
    "$pairscan half1 halfsparse log" "./map_floor half1 halfsparse 2097152 log" \
    "./read_floor half1 halfsparse" "$(tolerating_difference cmp -l half1 halfsparse)"
if [ "$cache" = "read back from disk" ]; then
    against_both_floors "identical 512 MiB, cold cache" 3 null \
        "sh -c 'sync; echo 3 > /proc/sys/vm/drop_caches'" "$pairscan half1 half2 log" \
        "./map_floor half1 half2" "./read_floor half1 half2" "cmp half1 half2"
    cat half1 half2 halfsparse > /dev/null
fi
for output in ./out null; do
    where=$([ $output = null ] && echo /dev/null || echo "a file")
    side_by_side "2 MiB all different, output to $where" 7 $output "write floor" "cmp -l" \
        "$pairscan all1 all2 log" "./write_floor all1 all2 log" \
        "$(tolerating_difference cmp -l all1 all2)"
    side_by_side "verbose, identical 1 MiB, output to $where" 10 $output "write floor" "" \
        "$pairscan one1 one2 log v" "./write_floor one1 one2 log v"
done
# cmp -l exits with 1 here, and a shell around it would cost as much as the run itself: the
# statuses are checked once, and hyperfine told to accept them.
"$pairscan" tiny1 tiny2 log > /dev/null && ! cmp -s tiny1 tiny2 ||
    { echo "bench: the 12-byte files must differ, and pairscan succeed" >&2; exit 1; }
IGNORE_STATUS=yes side_by_side "two 12-byte files differing in a byte (one run)" 1000 null \
    "write floor" "cmp -l" "$pairscan tiny1 tiny2 log" "./write_floor tiny1 tiny2 log" \
    "cmp -l tiny1 tiny2"
# A run of a millisecond is timed by turns with its peer, which then meet the same drift of a
# noisy machine.
by_turns() { # label interleave-arguments...
    label=$1
    shift
    printf "%-46s %s\n" "$label:" "$("$interleave" 2000 "$@" | sed 's/ x/ x cmp -l/')"
}
by_turns "the same, by turns with cmp -l" "$pairscan" tiny1 tiny2 log -- cmp -l tiny1 tiny2

# The guard's cost follows the run's own files, not the machine (bench/guard_cost.sh). As root
# only: the mounts and the devices are made for it and gone again.
if [ "$(id -u)" = 0 ] && command -v losetup > /dev/null; then
    sh "$root/bench/guard_cost.sh" "$pairscan" "$interleave" tiny1 tiny2 | grep -v '^Creating'
fi

# Files whose layout lets both pass over what the files share, against the floor that skips the
# same way; the logs must hold the same lines.
same_lines() { # file1 file2
    "$pairscan" "$1" "$2" log > /dev/null && ./skip_floor "$1" "$2" floor.log > /dev/null
    sed -n '/^File 1/p' log | cmp -s - floor.log ||
        { echo "bench: pairscan's log differs from the skipping floor's on $1 $2" >&2; exit 1; }
}
same_lines holes1 holes2
side_by_side "two 8 GiB sparse files, 64 MiB of data" 5 null "skip floor" "cmp -l" \
    "$pairscan holes1 holes2 log" "./skip_floor holes1 holes2 floor.log" \
    "$(tolerating_difference cmp -l holes1 holes2)"
if [ "$cache" = "read back from disk" ] && command -v mkfs.xfs >/dev/null; then
    # A 2 GiB file and its reflinked copy with one block changed, on XFS in a loop-mounted image.
    [ -f xfs.img ] || { truncate -s $((6144 * mib)) xfs.img && mkfs.xfs -q -m reflink=1 xfs.img; }
    mkdir -p xfs
    mountpoint -q xfs || mount -o loop xfs.img xfs
    if [ ! -f xfs/copy ]; then
        cat big1 big1 > xfs/original
        cp --reflink=always xfs/original xfs/copy
        printf 'changed!' | dd of=xfs/copy bs=1 seek=$((1234 * mib + 5)) conv=notrunc status=none
    fi
    same_lines xfs/original xfs/copy
    PREPARE="sh -c 'sync; echo 3 > /proc/sys/vm/drop_caches'"
    side_by_side "2 GiB and its reflinked copy, cold cache" 5 null "skip floor" "cmp -l" \
        "$pairscan xfs/original xfs/copy log" "./skip_floor xfs/original xfs/copy floor.log" \
        "$(tolerating_difference cmp -l xfs/original xfs/copy)"
    PREPARE=
    umount xfs
    cat half1 half2 halfsparse > /dev/null
fi
if [ "$cache" = "read back from disk" ] && command -v mkfs.btrfs >/dev/null; then
    # A 1 GiB file against its read-only snapshot, and against a reflinked copy in another
    # subvolume, one block changed in each, on btrfs in a loop-mounted image: each subvolume shows
    # a device number of its own.
    [ -f btrfs.img ] || { truncate -s $((4096 * mib)) btrfs.img && mkfs.btrfs -q btrfs.img; }
    mkdir -p btrfs
    mountpoint -q btrfs || mount -o loop btrfs.img btrfs
    if [ ! -f btrfs/other/copy ]; then
        btrfs -q subvolume create btrfs/vol
        btrfs -q subvolume create btrfs/other
        cp big1 btrfs/vol/file
        sync
        btrfs -q subvolume snapshot -r btrfs/vol btrfs/snap
        cp --reflink=always btrfs/vol/file btrfs/other/copy
        printf 'changed!' | dd of=btrfs/vol/file bs=1 seek=$((345 * mib + 5)) conv=notrunc status=none
        printf 'changed!' | dd of=btrfs/other/copy bs=1 seek=$((789 * mib + 5)) conv=notrunc status=none
        sync
    fi
    same_lines btrfs/snap/file btrfs/vol/file
    same_lines btrfs/vol/file btrfs/other/copy
    PREPARE="sh -c 'sync; echo 3 > /proc/sys/vm/drop_caches'"
    side_by_side "1 GiB against its btrfs snapshot, cold cache" 5 null "skip floor" "cmp -l" \
        "$pairscan btrfs/snap/file btrfs/vol/file log" \
        "./skip_floor btrfs/snap/file btrfs/vol/file floor.log" \
        "$(tolerating_difference cmp -l btrfs/snap/file btrfs/vol/file)"
    side_by_side "1 GiB against a reflink in another subvolume, cold" 5 null "skip floor" "cmp -l" \
        "$pairscan btrfs/vol/file btrfs/other/copy log" \
        "./skip_floor btrfs/vol/file btrfs/other/copy floor.log" \
        "$(tolerating_difference cmp -l btrfs/vol/file btrfs/other/copy)"
    PREPARE=
    umount btrfs
    cat half1 half2 halfsparse > /dev/null
fi

echo
echo "write system calls per reported line, output to a file (past the fixed ones):"
head -c 70000 all1 > sample1
head -c 70000 all2 > sample2
count_writes() { # label lines fixed-console fixed-log args...
    label=$1 lines=$2 fixed_out=$3 fixed_log=$4
    shift 4
    strace -o trace -e trace=openat,write,writev "$pairscan" "$@" > out
    awk -v label="$label" -v lines="$lines" -v fo="$fixed_out" -v fl="$fixed_log" '
        /openat\(.*"log"/ { split($0, r, "= "); log_fd = r[2] + 0 }
        /^writev\(/ { vectored++ }
        /^writev?\(1,/ { out++ }
        log_fd && (index($0, "write(" log_fd ",") == 1 || index($0, "writev(" log_fd ",") == 1) { logw++ }
        END { printf "%-46s console %.3f, log %.3f, writev %d\n", label ":", (out - fo) / lines, (logw - fl) / lines, vectored }' trace
}
count_writes "mismatch mode, 70000 differing pairs" 70000 2 3 sample1 sample2 log
count_writes "verbose mode, 70000 equal pairs" 70000 2 3 sample1 sample1 log v

echo
echo "peak resident memory (GNU time):"
peak() { /usr/bin/time -f %M "$pairscan" "$1" "$2" log 2>&1 > /dev/null | tail -1; }
big=$(peak big1 big2)
mid=$(peak mid1 mid2)
echo "identical 1 GiB: $big KiB; identical 64 MiB: $mid KiB" \
    "(growth with size: $([ "$big" -gt "$mid" ] && echo "$((big - mid)) KiB" || echo none))"

echo
echo "read floor with its buffers this far past a page boundary, identical 1 GiB, median:"
hyperfine -N --style none --warmup 2 --runs 10 --export-csv times.csv \
    "./read_floor big1 big2 262144 0" "./read_floor big1 big2 262144 16" \
    "./read_floor big1 big2 262144 64" "./read_floor big1 big2 262144 4096" > /dev/null 2>&1
awk -F, 'NR == 2 { aligned = $4 } NR > 1 { split($1, w, " "); printf "  %4d bytes: %.0f ms (%.2f x at 0)\n", w[5], $4 * 1000, $4 / aligned }' times.csv

if [ "${BLOCK_SIZES:-0}" = 1 ]; then
    echo
    echo "read floor by request size, identical 1 GiB, median:"
    for size in 16384 65536 131072 262144 1048576; do
        hyperfine -N --style none --warmup 2 --runs 10 --export-csv times.csv \
            "./read_floor big1 big2 $size" > /dev/null 2>&1
        awk -F, -v s=$size 'NR == 2 { printf "  %8d bytes: %.0f ms\n", s, $4 * 1000 }' times.csv
    done
fi
echo
echo "bench took $(($(date +%s) - started)) s"
