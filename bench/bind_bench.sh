#!/usr/bin/env bash
# Times a large, realistic bind next to the I/O floor of the same inputs.
#
#   bench/bind_bench.sh [path/to/Morvik]     (default: build/Morvik)
#   RUNS=5 bench/bind_bench.sh ...
#
# The layout: a 256 MiB output with 0xFF fill, a 512 KiB bootloader with a
# 1 MiB padded range, and two image groups (kernel 8 MiB + root file system
# 92 MiB each, 200 MiB of group images), all with -c, and a PID file. The
# last root file system's range ends exactly at 256 MiB, which is where the
# output ends.
#
# The floor is `cat` of the same five input files into one file: one read of
# every input byte and one write of it. A bind reads each group image twice
# (checksum, copy; regular files are measured without reading them) and
# writes the whole output, fill included. Both run with a warm page cache;
# a warm-up run of each is not counted. Peak disk use is about 460 MiB,
# all removed on exit. Builds nothing itself.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
morvik="${1:-$here/../build/Morvik}"
runs="${RUNS:-5}"

if [[ ! -x "$morvik" ]]; then
    echo "Morvik binary not found at $morvik (build it first, or pass its path)" >&2
    exit 2
fi
morvik="$(cd "$(dirname "$morvik")" && pwd)/$(basename "$morvik")"

work="$(mktemp -d "${TMPDIR:-/tmp}/morvik-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT

free_kib="$(df -Pk "$work" | awk 'NR == 2 { print $4 }')"
if (( free_kib < 1024 * 1024 )); then
    echo "need 1 GiB free in $work, have $((free_kib / 1024)) MiB" >&2
    exit 2
fi

make_input() {  # name size_in_KiB
    head -c "$(($2 * 1024))" /dev/urandom > "$work/$1"
}

make_input boot.bin 512
make_input kernel-a.bin $((8 * 1024))
make_input rootfs-a.bin $((92 * 1024))
make_input kernel-b.bin $((8 * 1024))
make_input rootfs-b.bin $((92 * 1024))
head -c 56 /dev/urandom | od -An -tx1 | tr -d ' \n' > "$work/pid.txt"
echo >> "$work/pid.txt"

cat > "$work/bench.par" <<'PAR'
$Size &40000
%pid.txt &ffff
:boot.bin     &0        -l 0x100000 -p 0xff
:kernel-a.bin &100000   -k 0 -c -v 1.00
:rootfs-a.bin &1000000  -f 0 -c -v 1.00
:kernel-b.bin &8000000  -k 1 -c -v 1.00
:rootfs-b.bin &9000000  -f 1 -c -v 1.00 -l 0x7000000
PAR

inputs=(boot.bin kernel-a.bin rootfs-a.bin kernel-b.bin rootfs-b.bin)

now() { date +%s.%N; }

# Seconds taken by one bind; fails the benchmark when the bind fails.
time_bind() {
    local start end
    start="$(now)"
    if ! (cd "$work" && "$morvik" -i bench.par -o out.bin -p 0xff > bind.log); then
        echo "bind failed:" >&2
        tail -n 5 "$work/bind.log" >&2
        exit 1
    fi
    end="$(now)"
    echo "$start $end" | awk '{ printf "%.3f\n", $2 - $1 }'
}

time_cat() {
    local start end
    start="$(now)"
    (cd "$work" && cat "${inputs[@]}" > floor.bin)
    end="$(now)"
    echo "$start $end" | awk '{ printf "%.3f\n", $2 - $1 }'
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Warm-up, and a check that the bind really produced the whole image.
time_bind > /dev/null
size="$(stat -c %s "$work/out.bin")"
if [[ "$size" != $((256 * 1024 * 1024)) ]] || ! grep -qx 'DONE!' "$work/bind.log"; then
    echo "unexpected bind result: output of $size bytes" >&2
    exit 1
fi
rm -f "$work/out.bin"
time_cat > /dev/null
rm -f "$work/floor.bin"

bind_times=()
cat_times=()
for ((i = 0; i < runs; ++i)); do
    bind_times+=("$(time_bind)")
    rm -f "$work/out.bin"
    cat_times+=("$(time_cat)")
    rm -f "$work/floor.bin"
done

bind_median="$(median "${bind_times[@]}")"
cat_median="$(median "${cat_times[@]}")"
echo "inputs: 200.5 MiB in 5 files; output: 256 MiB (0xFF fill, two groups); runs: $runs"
echo "bind  (s): ${bind_times[*]}  median $bind_median"
echo "cat   (s): ${cat_times[*]}  median $cat_median"
echo "$bind_median $cat_median" | awk '{ printf "ratio bind / cat: %.2f\n", $1 / $2 }'
