#!/usr/bin/env bash
# Peak memory and time of a one-group bind as the output grows from 16 MiB
# to 3.5 GiB: the memory must stay flat and the time grow with the size.
#
#   bench/bind_scaling.sh [path/to/Morvik]     (TMPDIR picks the file system)
#
# Each size S: a 512 KiB bootloader, a kernel of S/16 at 1 MiB and a root
# file system of 3S/8 at S/2 whose range runs to S, 0xFF fill. Needs GNU time
# (/usr/bin/time) and about 1.5 x 3.5 GiB free in TMPDIR.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
morvik="${1:-$here/../build/Morvik}"
morvik="$(cd "$(dirname "$morvik")" && pwd)/$(basename "$morvik")"
if [[ ! -x /usr/bin/time ]]; then
    echo "GNU time is needed: apt-get install time" >&2
    exit 2
fi
work="$(mktemp -d "${TMPDIR:-/tmp}/morvik-scaling-XXXXXX")"
trap 'rm -rf "$work"' EXIT
head -c 512K /dev/urandom > "$work/boot.bin"
head -c 56 /dev/urandom | od -An -tx1 | tr -d ' \n' > "$work/pid.txt"
echo >> "$work/pid.txt"

printf '%10s  %9s  %10s  %12s\n' "output" "time (s)" "peak RSS" "s per GiB"
for mib in 16 256 1024 3584; do
    size=$((mib * 1024 * 1024))
    head -c $((size / 16)) /dev/zero > "$work/kernel.bin"
    head -c $((size * 3 / 8)) /dev/zero | tr '\0' '\132' > "$work/rootfs.bin"
    printf '$Size &%x\n%%pid.txt &ffff\n:boot.bin &0 -l 0x100000 -p 0xff\n:kernel.bin &100000 -k -c\n' \
        $((size / 1024)) > "$work/s.par"
    printf ':rootfs.bin &%x -f -c -l 0x%x\n' $((size / 2)) $((size / 2)) >> "$work/s.par"
    (cd "$work" && "$morvik" -i s.par -o out.bin -p 0xff > /dev/null)  # warm the inputs
    rm -f "$work/out.bin"
    read -r secs kib < <(cd "$work" && /usr/bin/time -f '%e %M' "$morvik" -i s.par -o out.bin -p 0xff 2>&1 >/dev/null |
                         tail -n 1)
    [[ "$(stat -c %s "$work/out.bin")" == "$size" ]] || { echo "wrong output size at $mib MiB" >&2; exit 1; }
    rm -f "$work/out.bin"
    printf '%7d MiB  %9s  %7d KiB  %12.3f\n' "$mib" "$secs" "$kib" "$(echo "$secs $mib" | awk '{ print $1 * 1024 / $2 }')"
done
