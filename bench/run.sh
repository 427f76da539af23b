#!/bin/sh
# Measures pairscan side by side with cmp on data it makes itself, and prints each median wall
# time as a ratio to the peer's, the write system calls per reported line, and peak memory.
#
#   bench/run.sh [work-directory]     (default: a new directory under /tmp; about 3.2 GiB)
#
# Needs hyperfine, strace and GNU time (/usr/bin/time); the page cache is warmed before timing.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$(mktemp -d /tmp/pairscan-bench-XXXXXX)}
mkdir -p "$work"
cd "$work"
for tool in hyperfine strace /usr/bin/time cmp; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 1; }
done
(cd "$root" && cmake --workflow --preset release >/dev/null)
pairscan=$root/build/release/pairscan
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
[ -f mid1 ] || head -c $((64 * mib)) big1 > mid1
[ -f mid2 ] || cp mid1 mid2
[ -f all1 ] || head -c $((4 * mib)) big1 > all1
[ -f all2 ] || tr '\000-\377' '\001-\377\000' < all1 > all2 # every byte differs
[ -f one1 ] || head -c $mib big1 > one1
[ -f one2 ] || cp one1 one2
cat big1 big2 sparse > /dev/null

# hyperfine's CSV holds command,mean,stddev,median,...; prints "label: ratio (ours / peer)".
ratio() {
    awk -F, -v label="$1" 'NR == 2 { ours = $4 } NR == 3 { peer = $4 }
        END { printf "%-44s %.3f  (%.1f ms / %.1f ms)\n", label ":", ours / peer, ours * 1000, peer * 1000 }' "$2"
}
time_pair() { # label runs ours peer
    hyperfine -N -i --style none --warmup 2 --runs "$2" --export-csv times.csv "$3" "$4" > /dev/null 2>&1
    ratio "$1" times.csv
}

echo
echo "median wall time, pairscan / peer:"
time_pair "identical 1 GiB, vs cmp" 15 "$pairscan big1 big2 log" "cmp big1 big2"
time_pair "1 GiB differing once per MiB, vs cmp -l" 15 \
    "sh -c '$pairscan big1 sparse log > out'" "sh -c 'cmp -l big1 sparse > out'"
time_pair "4 MiB differing in every byte, vs cmp -l" 3 \
    "sh -c '$pairscan all1 all2 log > out'" "sh -c 'cmp -l all1 all2 > out'"
hyperfine -N --style none --warmup 1 --runs 3 --export-csv times.csv \
    "sh -c '$pairscan one1 one2 log v > out'" > /dev/null 2>&1
awk -F, 'NR == 2 { printf "%-44s %.1f ms (%.2f us a pair)\n", "verbose, identical 1 MiB:", $4 * 1000, $4 * 1e6 / 1048576 }' times.csv

echo
echo "write system calls per reported line (past the fixed ones: 2 on each stream, verdicts, trailer):"
head -c 70000 all1 > sample1
head -c 70000 all2 > sample2
count_writes() { # label lines fixed-console fixed-log args...
    label=$1 lines=$2 fixed_out=$3 fixed_log=$4
    shift 4
    strace -o trace -e trace=openat,write "$pairscan" "$@" > out
    awk -v label="$label" -v lines="$lines" -v fo="$fixed_out" -v fl="$fixed_log" '
        /openat\(.*"log"/ { split($0, r, "= "); log_fd = r[2] + 0 }
        /^write\(1,/ { out++ } log_fd && index($0, "write(" log_fd ",") == 1 { logw++ }
        END { printf "%-44s console %.3f, log %.3f\n", label ":", (out - fo) / lines, (logw - fl) / lines }' trace
}
count_writes "mismatch mode, 70000 differing pairs" 70000 2 3 sample1 sample2 log
count_writes "verbose mode, 70000 equal pairs" 70000 2 3 sample1 sample1 log v

echo
echo "peak resident memory (GNU time):"
peak() { /usr/bin/time -f %M "$pairscan" "$1" "$2" log 2>&1 > /dev/null | tail -1; }
big=$(peak big1 big2)
mid=$(peak mid1 mid2)
echo "identical 1 GiB: $big KiB; identical 64 MiB: $mid KiB; difference $((big - mid)) KiB"

if [ "${BLOCK_SIZES:-0}" = 1 ]; then
    echo
    echo "block size probe (ifstream::read + memcmp), identical 1 GiB, median ms:"
    g++ -O2 -std=c++20 -o block_probe "$root/bench/block_probe.cpp"
    for size in 16384 65536 131072 262144 1048576; do
        hyperfine -N --style none --warmup 2 --runs 10 --export-csv times.csv \
            "./block_probe big1 big2 $size" > /dev/null
        awk -F, -v s=$size 'NR == 2 { printf "  %8d bytes: %.1f\n", s, $4 * 1000 }' times.csv
    done
fi
