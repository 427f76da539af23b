#!/bin/sh
# Measures pairscan side by side with its floors, the plainest programs that do the same work,
# and with cmp, on data it makes itself. Prints each median wall time as a ratio, the write
# system calls per reported line, peak memory, and how buffer placement affects reading.
#
#   bench/run.sh [work-directory]     (default: a new directory under /tmp; about 3.2 GiB)
#
# Floors: bench/read_floor.cpp (the same file streams and request size, page-aligned buffers,
# read and memcmp) and bench/write_floor.cpp (the same report lines, one write(2) per line per
# stream). Needs hyperfine, strace and GNU time; the page cache is warmed before timing.
# BLOCK_SIZES=1 also probes request sizes.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$(mktemp -d /tmp/pairscan-bench-XXXXXX)}
mkdir -p "$work"
cd "$work"
for tool in hyperfine strace /usr/bin/time cmp g++; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 1; }
done
(cd "$root" && cmake --workflow --preset release >/dev/null)
pairscan=$root/build/release/pairscan
g++ -O2 -std=c++20 -o read_floor "$root/bench/read_floor.cpp"
g++ -O2 -std=c++20 -o write_floor "$root/bench/write_floor.cpp"
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

# Times pairscan (first command) beside its floor (second) and the peers, in one hyperfine run;
# prints pairscan's median as a ratio to each.
side_by_side() { # label runs command...
    label=$1 runs=$2
    shift 2
    hyperfine -N -i --style none --warmup 2 --runs "$runs" --export-csv times.csv "$@" \
        > /dev/null 2>&1
    awk -F, -v label="$label" -v floor="$floor_name" -v peer="$peer_name" '
        NR == 2 { ours = $4 } NR == 3 { low = $4 } NR == 4 { other = $4 }
        END {
            printf "%-38s %.3f x %s", label ":", ours / low, floor
            if (other) printf ", %.3f x %s", ours / other, peer
            printf "   (%.0f ms; %s %.0f ms", ours * 1000, floor, low * 1000
            if (other) printf "; %s %.0f ms", peer, other * 1000
            printf ")\n"
        }' times.csv
}

echo
echo "median wall time, pairscan / floor and pairscan / peer (standard output to a file):"
floor_name="read floor" peer_name=cmp
side_by_side "identical 1 GiB" 15 "$pairscan big1 big2 log" "./read_floor big1 big2" \
    "cmp big1 big2"
peer_name="cmp -l"
side_by_side "1 GiB differing once per MiB" 15 "sh -c '$pairscan big1 sparse log > out'" \
    "sh -c './read_floor big1 sparse > out'" "sh -c 'cmp -l big1 sparse > out'"
floor_name="write floor"
side_by_side "4 MiB differing in every byte" 7 "sh -c '$pairscan all1 all2 log > out'" \
    "sh -c './write_floor all1 all2 log > out'" "sh -c 'cmp -l all1 all2 > out'"
peer_name=""
side_by_side "verbose, identical 1 MiB" 15 "sh -c '$pairscan one1 one2 log v > out'" \
    "sh -c './write_floor one1 one2 log v > out'"

echo
echo "write system calls per reported line (past the fixed ones: 2 on each stream, verdicts, trailer):"
head -c 70000 all1 > sample1
head -c 70000 all2 > sample2
count_writes() { # label lines fixed-console fixed-log args...
    label=$1 lines=$2 fixed_out=$3 fixed_log=$4
    shift 4
    strace -o trace -e trace=openat,write,writev "$pairscan" "$@" > out
    awk -v label="$label" -v lines="$lines" -v fo="$fixed_out" -v fl="$fixed_log" '
        /openat\(.*"log"/ { split($0, r, "= "); log_fd = r[2] + 0 }
        /^writev?\(1,/ { out++ }
        log_fd && (index($0, "write(" log_fd ",") == 1 || index($0, "writev(" log_fd ",") == 1) { logw++ }
        END { printf "%-38s console %.3f, log %.3f\n", label ":", (out - fo) / lines, (logw - fl) / lines }' trace
}
count_writes "mismatch mode, 70000 differing pairs" 70000 2 3 sample1 sample2 log
count_writes "verbose mode, 70000 equal pairs" 70000 2 3 sample1 sample1 log v

echo
echo "peak resident memory (GNU time):"
peak() { /usr/bin/time -f %M "$pairscan" "$1" "$2" log 2>&1 > /dev/null | tail -1; }
big=$(peak big1 big2)
mid=$(peak mid1 mid2)
echo "identical 1 GiB: $big KiB; identical 64 MiB: $mid KiB; difference $((big - mid)) KiB"

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
