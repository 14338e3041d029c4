#!/usr/bin/env bash
# Times Morvik-inspect, plain and with --checksums, next to `cat IMAGE >
# /dev/null` on the same file, and measures its peak resident memory; and
# the SHA-256 along its pass next to sha256sum of the same file.
#
#   bench/inspect_bench.sh [path/to/Morvik-inspect [path/to/Morvik]]
#   RUNS=9 bench/inspect_bench.sh ...
#   BUSY=1 bench/inspect_bench.sh ...   with a CPU kept busy while measuring
#
# Files (made here, removed on exit; about 4.2 GiB of disk at the peak):
#   256 MiB  a two-group bind, 0xFF fill, 200 MiB of group images
#   1 GiB    a two-group bind, 0xFF fill, 816 MiB of group images
#   bomb     256 MiB of random bytes holding 65 sealed headers of 10 entries,
#            every entry spanning the whole file
#   sparse   a 4 GiB file with nothing written (peak memory only)
#   diff     --diff of the 1 GiB bind and a copy of it with one byte changed
#            in the middle, next to `cat` of both files
#
# and --against: the 1 GiB image checked against its PAR file, which reads
# the image and the 816 MiB of inputs beside it (the ratio is still against
# `cat` of the image alone).
#
# Every figure is a median of RUNS runs with a warm page cache, the files
# written out (a warm-up run of each command is not counted); the ratio is
# against `cat` of the same file in the same run, since the machine is
# shared and absolute times are noise.
# Peak memory is the maximum resident set size that GNU time reports.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
inspect="${1:-$here/../build/Morvik-inspect}"
morvik="${2:-$(dirname "$inspect")/Morvik}"
runs="${RUNS:-7}"

for tool in "$inspect" "$morvik"; do
    if [[ ! -x "$tool" ]]; then
        echo "$tool not found (build it first, or pass its path)" >&2
        exit 2
    fi
done
if ! /usr/bin/time -f %M true > /dev/null 2>&1; then
    echo "GNU time is needed for peak memory: apt-get install time" >&2
    exit 2
fi
if ! command -v perl > /dev/null; then
    echo "perl is needed to build the header bomb" >&2
    exit 2
fi
inspect="$(cd "$(dirname "$inspect")" && pwd)/$(basename "$inspect")"
morvik="$(cd "$(dirname "$morvik")" && pwd)/$(basename "$morvik")"

work="$(mktemp -d "${TMPDIR:-/tmp}/morvik-inspect-bench-XXXXXX")"
busy=""
trap 'if [[ -n "$busy" ]]; then kill "$busy"; fi; rm -rf "$work"' EXIT

free_kib="$(df -Pk "$work" | awk 'NR == 2 { print $4 }')"
if (( free_kib < 5 * 1024 * 1024 )); then
    echo "need 5 GiB free in $work, have $((free_kib / 1024)) MiB" >&2
    exit 2
fi

make_input() {  # name size_in_MiB
    head -c "$(($2 * 1024 * 1024))" /dev/urandom > "$work/$1"
}

# Binds `par` (text) into `out` with the random inputs named in it.
bind() {  # out par
    local out="$1" par="$2"
    printf '%s\n' "$par" > "$work/bench.par"
    if ! (cd "$work" && "$morvik" -i bench.par -o "$out" -p 0xff > bind.log); then
        echo "bind of $out failed:" >&2
        tail -n 5 "$work/bind.log" >&2
        exit 1
    fi
}

head -c 56 /dev/urandom | od -An -tx1 | tr -d ' \n' > "$work/pid.txt"
echo >> "$work/pid.txt"
make_input boot.bin 1
make_input kernel.bin 8
make_input rootfs-small.bin 92
bind img256.bin '$Size &40000
%pid.txt &ffff
:boot.bin          &0        -l 0x100000 -p 0xff
:kernel.bin        &100000   -k 0 -c -v 1.00
:rootfs-small.bin  &1000000  -f 0 -c -v 1.00
:kernel.bin        &8000000  -k 1 -c -v 1.00
:rootfs-small.bin  &9000000  -f 1 -c -v 1.00 -l 0x7000000'
rm -f "$work/rootfs-small.bin"
make_input rootfs-a.bin 400
make_input rootfs-b.bin 400
bind img1g.bin '$Size &100000
%pid.txt &ffff
:boot.bin      &0         -l 0x100000 -p 0xff
:kernel.bin    &100000    -k 0 -c -v 1.00
:rootfs-a.bin  &1000000   -f 0 -c -v 1.00
:kernel.bin    &20000000  -k 1 -c -v 1.00
:rootfs-b.bin  &21000000  -f 1 -c -v 1.00 -l 0x1f000000'
cp "$work/bench.par" "$work/img1g.par"  # its inputs stay for --against
rm -f "$work"/*.bin.in

# The header bomb: sealed headers (fill 0x00) at every 4 MiB, each listing
# ten entries that cover the whole file.
head -c $((256 * 1024 * 1024)) /dev/urandom > "$work/bomb.bin"
perl -e '
    my ($path, $size) = @ARGV;
    my @table = map { my $c = $_; $c = $c & 1 ? ($c >> 1) ^ 0xEDB88320 : $c >> 1 for 1 .. 8; $c } 0 .. 255;
    sub crc { my $c = 0xFFFFFFFF; $c = ($c >> 8) ^ $table[($c ^ $_) & 0xFF] for unpack "C*", $_[0]; $c ^ 0xFFFFFFFF }
    open my $f, "+<", $path or die "$path: $!";
    binmode $f;
    for my $k (0 .. 64) {
        my $h = pack("V V V C C C C", 0, 0, 0, 10, 0xFF, 0, 0);
        $h .= pack("V V V a4 x8", 0, $size, 0, "1.00") for 1 .. 10;
        substr($h, 8, 4) = pack("V", crc($h));
        substr($h, 0, 4) = "Tav\0";
        seek $f, $k * 4 * 1024 * 1024, 0;
        print $f $h;
    }
    close $f or die;
' "$work/bomb.bin" $((256 * 1024 * 1024))

cp "$work/img1g.bin" "$work/img1g-b.bin"
printf '\125' | dd of="$work/img1g-b.bin" bs=1 seek=$((512 * 1024 * 1024 + 12345)) conv=notrunc 2> /dev/null

truncate -s 4G "$work/sparse.bin"
# The files were just written: on a disk file system the kernel would
# still be writing them out, on the CPUs and in the page cache, while
# both commands are timed. Measure once that is done.
sync -f "$work/img256.bin"

now() { date +%s.%N; }

# Seconds taken by one run of the command; its exit status is ignored (the
# bomb does not verify).
time_once() {
    local start end
    start="$(now)"
    "$@" > /dev/null 2>&1 || true
    end="$(now)"
    echo "$start $end" | awk '{ printf "%.4f\n", $2 - $1 }'
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

peak_kib() {  # file [option...] (--quiet when none)
    local file="$1"
    shift
    (($#)) || set -- --quiet
    /usr/bin/time -f %M "$inspect" "$@" "$file" 2>&1 > /dev/null | tail -n 1
}

ratio() { echo "$1 $2" | awk '{ printf "%.2f", $1 / $2 }'; }

# MiB per second for `bytes` in `seconds`.
rate() { echo "$1 $2" | awk '{ printf "%.0f", $1 / 1048576 / $2 }'; }

# The commands take turns, so that a slow stretch of the machine hits them
# alike. Besides the plain check: --checksums with the area table (the
# whole file hashed along the pass, the areas read and hashed again), and
# with --quiet (the whole file's alone), and sha256sum of the same file;
# the difference between the plain and the --quiet --checksums runs is the
# hashing along the pass, a throughput to hold against sha256sum's.
measure() {  # label file
    local label="$1" file="$2" tool=() sums=() whole=() cats=() shas=() status
    time_once "$inspect" --quiet "$file" > /dev/null
    time_once "$inspect" --checksums "$file" > /dev/null
    time_once cat "$file" > /dev/null
    for ((i = 0; i < runs; ++i)); do
        tool+=("$(time_once "$inspect" --quiet "$file")")
        sums+=("$(time_once "$inspect" --checksums "$file")")
        whole+=("$(time_once "$inspect" --checksums --quiet "$file")")
        cats+=("$(time_once cat "$file")")
        shas+=("$(time_once sha256sum "$file")")
    done
    status=0
    "$inspect" --quiet "$file" > /dev/null 2>&1 || status=$?
    local t k w c h bytes along
    t="$(median "${tool[@]}")"
    k="$(median "${sums[@]}")"
    w="$(median "${whole[@]}")"
    c="$(median "${cats[@]}")"
    h="$(median "${shas[@]}")"
    bytes="$(stat -c %s "$file")"
    printf '%-8s inspect %8.4f s  cat %8.4f s  ratio %5.2f  peak RSS %7d KiB  exit %d\n' \
        "$label" "$t" "$c" "$(ratio "$t" "$c")" "$(peak_kib "$file")" "$status"
    printf '%-8s --checksums %8.4f s  ratio %5.2f  peak RSS %7d KiB;  --checksums --quiet %8.4f s  ratio %5.2f\n' \
        "" "$k" "$(ratio "$k" "$c")" "$(peak_kib "$file" --checksums)" "$w" "$(ratio "$w" "$c")"
    along="$(echo "$bytes $w $t" | awk '{ d = $2 - $3; if (d <= 0) print "-"; else printf "%.0f", $1 / 1048576 / d }')"
    printf '%-8s SHA-256 along the pass %6s MiB/s;  sha256sum %8.4f s, %6s MiB/s\n' "" "$along" "$h" "$(rate "$bytes" "$h")"
}

# The check with options besides (--against), next to `cat` of the image.
measure_with() {  # label file option...
    local label="$1" file="$2" tool=() cats=() status
    local options=("${@:3}")
    time_once "$inspect" --quiet "${options[@]}" "$file" > /dev/null
    time_once cat "$file" > /dev/null
    for ((i = 0; i < runs; ++i)); do
        tool+=("$(time_once "$inspect" --quiet "${options[@]}" "$file")")
        cats+=("$(time_once cat "$file")")
    done
    status=0
    "$inspect" --quiet "${options[@]}" "$file" > /dev/null 2>&1 || status=$?
    local t c
    t="$(median "${tool[@]}")"
    c="$(median "${cats[@]}")"
    printf '%-8s inspect %8.4f s  cat %8.4f s  ratio %5.2f  peak RSS %7d KiB  exit %d\n' \
        "$label" "$t" "$c" "$(echo "$t $c" | awk '{ print $1 / $2 }')" "$(peak_kib "$file" --quiet "${options[@]}")" "$status"
}

# The comparison reads both files once each: the floor is `cat` of both.
measure_diff() {  # label old new
    local label="$1" tool=() cats=() status peak
    shift
    time_once "$inspect" --diff --quiet "$@" > /dev/null
    time_once cat "$@" > /dev/null
    for ((i = 0; i < runs; ++i)); do
        tool+=("$(time_once "$inspect" --diff --quiet "$@")")
        cats+=("$(time_once cat "$@")")
    done
    status=0
    "$inspect" --diff --quiet "$@" > /dev/null 2>&1 || status=$?
    peak="$(/usr/bin/time -f %M "$inspect" --diff --quiet "$@" 2>&1 > /dev/null | tail -n 1 || true)"
    local t c
    t="$(median "${tool[@]}")"
    c="$(median "${cats[@]}")"
    printf '%-8s inspect %8.4f s  cat %8.4f s  ratio %5.2f  peak RSS %7d KiB  exit %d\n' \
        "$label" "$t" "$c" "$(echo "$t $c" | awk '{ print $1 / $2 }')" "$peak" "$status"
}

if [[ "${BUSY:-0}" == 1 ]]; then
    sh -c 'while :; do :; done' &
    busy=$!
fi
echo "Morvik-inspect: $inspect; medians of $runs runs, warm cache${busy:+, one CPU kept busy}"
measure 256MiB "$work/img256.bin"
measure 1GiB "$work/img1g.bin"
measure bomb "$work/bomb.bin"
printf '%-8s peak RSS %d KiB, with --checksums %d KiB\n' "sparse" "$(peak_kib "$work/sparse.bin")" \
    "$(peak_kib "$work/sparse.bin" --checksums)"
measure_diff diff1GiB "$work/img1g.bin" "$work/img1g-b.bin"
# The PAR file names its inputs relative to the folder it is bound in.
cd "$work"
measure_with against "$work/img1g.bin" --against img1g.par --fill 0xff
