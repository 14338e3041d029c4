#!/usr/bin/env bash
# Times 256 MiB binds next to the copy floor of the same bytes.
#
#   bench/bind_bench.sh [path/to/Morvik]      (default: build/Morvik)
#   RUNS=7 TMPDIR=/dev/shm bench/bind_bench.sh ...
#
# Two layouts, each a 256 MiB output with 0xFF fill, a 512 KiB bootloader
# with a 1 MiB padded range and a PID file:
#   one group:  kernel 8 MiB + root file system 96 MiB, both with -c;
#   two groups: two such groups of 8 + 92 MiB (200 MiB of group images).
# The floor is `cat` of the inputs and of precomputed fill pieces into one
# file of the same 256 MiB: one read of every input byte and one write of
# every output byte, which is the least a bind can do. Each round runs the
# bind and the floor back to back, with a warm page cache (a warm-up round is
# not counted); the medians and their ratio are printed. Peak disk use is
# about 1 GiB in TMPDIR, all removed on exit. Builds nothing itself.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
morvik="${1:-$here/../build/Morvik}"
runs="${RUNS:-7}"

if [[ ! -x "$morvik" ]]; then
    echo "Morvik binary not found at $morvik (build it first, or pass its path)" >&2
    exit 2
fi
morvik="$(cd "$(dirname "$morvik")" && pwd)/$(basename "$morvik")"

work="$(mktemp -d "${TMPDIR:-/tmp}/morvik-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT

free_kib="$(df -Pk "$work" | awk 'NR == 2 { print $4 }')"
if (( free_kib < 1536 * 1024 )); then
    echo "need 1.5 GiB free in $work, have $((free_kib / 1024)) MiB" >&2
    exit 2
fi

kib() { echo $(($1 * 1024)); }
make_input() { head -c "$(kib "$2")" /dev/urandom > "$work/$1"; }      # name KiB
make_fill() { head -c "$(kib "$2")" /dev/zero | tr '\0' '\377' > "$work/$1"; }

make_input boot.bin 512
make_input kernel-a.bin $((8 * 1024))
make_input rootfs-a.bin $((92 * 1024))
make_input rootfs-one.bin $((96 * 1024))
make_input kernel-b.bin $((8 * 1024))
make_input rootfs-b.bin $((92 * 1024))
head -c 56 /dev/urandom | od -An -tx1 | tr -d ' \n' > "$work/pid.txt"
echo >> "$work/pid.txt"

cat > "$work/one.par" <<'PAR'
$Size &40000
%pid.txt &ffff
:boot.bin       &0        -l 0x100000 -p 0xff
:kernel-a.bin   &100000   -k 0 -c -v 1.00
:rootfs-one.bin &1000000  -f 0 -c -v 1.00 -l 0xF000000
PAR
cat > "$work/two.par" <<'PAR'
$Size &40000
%pid.txt &ffff
:boot.bin     &0        -l 0x100000 -p 0xff
:kernel-a.bin &100000   -k 0 -c -v 1.00
:rootfs-a.bin &1000000  -f 0 -c -v 1.00
:kernel-b.bin &8000000  -k 1 -c -v 1.00
:rootfs-b.bin &9000000  -f 1 -c -v 1.00 -l 0x7000000
PAR

# The floor's inputs: the images and fill pieces that add up to 256 MiB.
one_inputs=(boot.bin kernel-a.bin rootfs-one.bin fill-one.bin)
two_inputs=(boot.bin kernel-a.bin rootfs-a.bin kernel-b.bin rootfs-b.bin fill-two.bin)
make_fill fill-one.bin $((256 * 1024 - 512 - 8 * 1024 - 96 * 1024))
make_fill fill-two.bin $((256 * 1024 - 512 - 2 * 100 * 1024))

now() { date +%s.%N; }
elapsed() { echo "$1 $(now)" | awk '{ printf "%.3f\n", $2 - $1 }'; }

time_bind() {  # par
    local start
    start="$(now)"
    if ! (cd "$work" && "$morvik" -i "$1" -o out.bin -p 0xff > bind.log); then
        echo "bind of $1 failed:" >&2
        tail -n 5 "$work/bind.log" >&2
        exit 1
    fi
    elapsed "$start"
    rm -f "$work/out.bin"
}

time_cat() {  # inputs...
    local start
    start="$(now)"
    (cd "$work" && cat "$@" > floor.bin)
    elapsed "$start"
    rm -f "$work/floor.bin"
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

check_sizes() {  # par inputs...
    local par="$1"
    shift
    # --strict: a layout of the bench binds without a single warning.
    (cd "$work" && "$morvik" -i "$par" -o out.bin -p 0xff --strict > bind.log)
    local out floor
    out="$(stat -c %s "$work/out.bin")"
    floor="$(cd "$work" && cat "$@" | wc -c)"
    if [[ "$out" != $((256 * 1024 * 1024)) || "$floor" != "$out" ]] || ! grep -qx 'DONE!' "$work/bind.log"; then
        echo "unexpected sizes for $par: output $out, floor $floor" >&2
        exit 1
    fi
    rm -f "$work/out.bin"
}

run_layout() {  # name par inputs...
    local name="$1" par="$2"
    shift 2
    check_sizes "$par" "$@"
    time_bind "$par" > /dev/null
    time_cat "$@" > /dev/null
    local binds=() cats=()
    for ((i = 0; i < runs; ++i)); do
        binds+=("$(time_bind "$par")")
        cats+=("$(time_cat "$@")")
    done
    local b c
    b="$(median "${binds[@]}")"
    c="$(median "${cats[@]}")"
    printf '%-10s bind median %6.3f s   floor median %6.3f s   ratio %.2f\n' "$name" "$b" "$c" \
        "$(echo "$b $c" | awk '{ print $1 / $2 }')"
}

# The bundled example: a 72 KiB bind, where the fixed cost of a run shows.
# Each timing covers a batch of runs, next to cat of the example's inputs.
small_batch() {  # command...
    local start
    start="$(now)"
    for ((k = 0; k < 50; ++k)); do "$@" > /dev/null; done
    elapsed "$start"
}

run_small() {
    local examples="$here/../examples" binds=() cats=()
    (cd "$examples" && small_batch "$morvik" -i ARMPARA.PAR -o "$work/small.bin" -p 0xff > /dev/null)  # warm-up
    for ((i = 0; i < runs; ++i)); do
        binds+=("$(cd "$examples" && small_batch "$morvik" -i ARMPARA.PAR -o "$work/small.bin" -p 0xff)")
        cats+=("$(cd "$examples" && small_batch cat boot.bin kernel.bin rootfs.bin pid.txt)")
    done
    local b c
    b="$(median "${binds[@]}")"
    c="$(median "${cats[@]}")"
    printf '%-10s bind median %6.3f s   cat median   %6.3f s   ratio %.2f   (50 runs each)\n' "example" "$b" "$c" \
        "$(echo "$b $c" | awk '{ print $1 / $2 }')"
}

echo "256 MiB output, 0xFF fill, $runs rounds in $(df -P "$work" | awk 'NR == 2 { print $1 }') ($work)"
run_layout "one group" one.par "${one_inputs[@]}"
run_layout "two groups" two.par "${two_inputs[@]}"
run_small
