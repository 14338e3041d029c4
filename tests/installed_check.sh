#!/usr/bin/env bash
# Checks an installed Morvik:
#
#   installed_check.sh PREFIX VERSION             an installation, e.g. /usr
#   installed_check.sh --stage BUILD_DIR VERSION  cmake --install --strip
#                                                 BUILD_DIR into a scratch
#                                                 DESTDIR, and check that it
#                                                 installs nothing else
#
# Every file is in place, the installed tools run, bind the installed example
# and verify it, they are stripped and (unless MORVIK_HARDENED=0, for a build
# without the hardening) hardened, the man pages and the changelog are
# compressed with gzip -9n, the man pages are the tree's and format without a
# warning, the changelog, copyright file and lintian overrides are the
# package's, and the bash completion completes. Exit status 0 when all holds,
# 1 otherwise (each failure is listed), 77 when all that could be checked
# holds but groff or readelf is missing to check the man pages or the tools.
set -uo pipefail

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

stage_from=
if [[ ${1:-} == --stage && $# -eq 3 ]]; then
    stage_from=$2
    version=$3
    prefix=$scratch/stage/usr
    DESTDIR=$scratch/stage "${CMAKE:-cmake}" --install "$stage_from" --prefix /usr --strip >"$scratch/install.log" 2>&1 ||
        { cat "$scratch/install.log"; exit 1; }
elif [[ $# -eq 2 && $1 != --stage ]]; then
    prefix=$1
    version=$2
else
    echo "usage: $0 PREFIX VERSION | $0 --stage BUILD_DIR VERSION" >&2
    exit 2
fi

# The tree the checks compare with: this script's own.
source_dir=$(cd "$(dirname "$0")/.." && pwd)

doc=share/doc/morvik
examples=$doc/examples
completions=share/bash-completion/completions
man_pages=(share/man/man1/Morvik.1.gz share/man/man1/Morvik-inspect.1.gz share/man/man5/morvik-par.5.gz)
installed_files=(
    bin/Morvik
    bin/Morvik-inspect
    "${man_pages[@]}"
    $doc/copyright
    $doc/changelog.Debian.gz
    share/lintian/overrides/morvik
    $completions/Morvik
    $completions/Morvik-inspect
    $examples/ARMPARA.PAR
    $examples/DUAL.PAR
    $examples/pid.txt
    $examples/boot.bin
    $examples/kernel.bin
    $examples/rootfs.bin
    $examples/kernel-b.bin
    $examples/rootfs-b.bin
    share/doc/morvik/morvik-map.schema.json
    share/doc/morvik/morvik-inspect.schema.json
    share/doc/morvik/morvik-inspect-diff.schema.json
)

check_files() {
    local f
    for f in "${installed_files[@]}"; do
        [[ -f $prefix/$f ]] || fail "not installed: $f"
    done
    [[ -x $prefix/bin/Morvik && -x $prefix/bin/Morvik-inspect ]] || fail "the tools are not executable"
    if [[ -n $stage_from ]]; then
        local extra
        extra=$(cd "$scratch/stage" && find . ! -type d | sed 's|^\./usr/||' | LC_ALL=C sort |
            comm -23 - <(printf '%s\n' "${installed_files[@]}" | LC_ALL=C sort))
        [[ -z $extra ]] || fail "installed, but not expected: $extra"
    fi
}

check_tools() {
    local out
    out=$("$prefix/bin/Morvik" -h) || fail "Morvik -h: status $?"
    [[ $out == "Usage : Morvik [-i PAR_FILE]"* ]] || fail "Morvik -h printed: $out"
    local option
    for option in --version -V; do
        out=$("$prefix/bin/Morvik-inspect" $option) || fail "Morvik-inspect $option: status $?"
        [[ $out =~ ^Morvik-inspect\ ${version//./\\.}(\ \(commit\ [0-9a-f]+(-dirty)?\))?$ ]] ||
            fail "Morvik-inspect $option printed: $out"
    done
    # Built from a git checkout, the commit must be the one checked out.
    if [[ -n $stage_from && -e $source_dir/.git ]] && command -v git >/dev/null; then
        local head
        head=$(git -C "$source_dir" rev-parse HEAD 2>/dev/null) &&
            [[ $out =~ \(commit\ ([0-9a-f]+) && $head == "${BASH_REMATCH[1]}"* ]] ||
            fail "Morvik-inspect --version does not name the checked-out commit ${head:-?}: $out"
    fi
}

# Binds each example PAR file where its paths resolve, into the scratch
# folder, and verifies the result.
check_example_binds() {
    local par out
    for par in ARMPARA.PAR DUAL.PAR; do
        out=$scratch/$par.bin
        (cd "$prefix/$examples" && "$prefix/bin/Morvik" -i "$par" -o "$out" -p 0xff) >"$scratch/bind.log" 2>&1 ||
            { fail "Morvik -i $par: status $?"; tail -5 "$scratch/bind.log"; continue; }
        [[ $(tail -1 "$scratch/bind.log") == "DONE!" ]] || fail "Morvik -i $par did not end with DONE!"
        "$prefix/bin/Morvik-inspect" --quiet "$out" >"$scratch/inspect.log" ||
            { fail "Morvik-inspect of $par: status $?"; cat "$scratch/inspect.log"; }
        grep -q "^Summary: OK" "$scratch/inspect.log" || fail "Morvik-inspect of $par: no OK summary"
    done
}

# The gzip header of FILE as gzip -9n writes it: deflate, no flags (so no
# file name), no time, and the byte that says best compression.
check_gzip_9n() {
    local header
    header=$(od -An -tx1 -N10 "$1" | tr -d ' \n')
    [[ $header == 1f8b0800000000000203 ]] || fail "${1#"$prefix"/}: not as gzip -9n writes it (header $header)"
}

# (check_files has reported what is missing.)
check_compressed_docs() {
    local page
    for page in "${man_pages[@]}"; do
        [[ -f $prefix/$page ]] || continue
        check_gzip_9n "$prefix/$page"
        local name=${page##*/}
        gzip -dc "$prefix/$page" | cmp -s - "$source_dir/man/${name%.gz}" ||
            fail "$page is not man/${name%.gz} of the tree"
    done
    local changelog=$prefix/$doc/changelog.Debian.gz
    [[ -f $changelog && -f $prefix/$doc/copyright && -f $prefix/share/lintian/overrides/morvik ]] || return
    check_gzip_9n "$changelog"
    local lines
    mapfile -t lines < <(gzip -dc "$changelog")
    [[ ${lines[0]:-} =~ ^morvik\ \(${version//./\\.}-[0-9]+\)\ unstable\;\ urgency=medium$ ]] ||
        fail "the changelog's first entry is not for morvik $version: ${lines[0]:-}"
    local day='(Mon|Tue|Wed|Thu|Fri|Sat|Sun)' month='(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)'
    [[ ${lines[-1]:-} =~ ^\ --\ [^\<]+\ \<[^@\>]+@[^@\>]+\>\ \ $day,\ [0-3][0-9]\ $month\ [0-9]{4}\ [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\ \+0000$ ]] ||
        fail "the changelog's last line is no signature with a date: ${lines[-1]:-}"
    cmp -s "$prefix/$doc/copyright" "$source_dir/packaging/copyright" || fail "$doc/copyright is not packaging/copyright"
    cmp -s "$prefix/share/lintian/overrides/morvik" "$source_dir/packaging/lintian-overrides" ||
        fail "share/lintian/overrides/morvik is not packaging/lintian-overrides"
}

# groff -ww turns on every warning; -z formats without output. Both the
# default device and the terminal one, which man uses.
lint_man_pages() {
    if ! command -v groff >/dev/null; then
        echo "SKIP: groff not found, man pages not linted"
        return 1
    fi
    local page device warnings before=$failures
    for page in "${man_pages[@]}"; do
        [[ -f $prefix/$page ]] || continue
        for device in ps utf8; do
            warnings=$(gzip -dc "$prefix/$page" | groff -ww -z -man -T$device 2>&1)
            [[ -z $warnings ]] || fail "groff -ww -z -man -T$device ${page##*/}: $warnings"
        done
    done
    ((failures > before)) || echo "groff -ww -z -man (-Tps, -Tutf8): no warning in the 3 man pages"
    return 0
}

# Both tools stripped of symbols, debug information and the .comment section;
# and hardened: a position-independent executable, relocations bound at start
# (BIND_NOW) and read-only after (GNU_RELRO), a stack protector and fortified
# calls (their __*_chk functions).
check_binaries() {
    if ! command -v readelf >/dev/null; then
        echo "SKIP: readelf not found, the tools' stripping and hardening not checked"
        return 1
    fi
    local tool file sections before=$failures
    for tool in Morvik Morvik-inspect; do
        file=$prefix/bin/$tool
        sections=$(readelf -SW "$file") || { fail "readelf -S $tool"; continue; }
        [[ $sections != *" .symtab "* && $sections != *" .debug_"* ]] || fail "$tool is not stripped"
        [[ $sections != *" .comment "* ]] || fail "$tool still has a .comment section"
        [[ ${MORVIK_HARDENED:-1} != 0 ]] || continue
        readelf -dW "$file" >"$scratch/dynamic"
        grep -Eq '\(FLAGS_1\).* PIE' "$scratch/dynamic" || fail "$tool is not a position-independent executable"
        grep -Eq '\(FLAGS(_1)?\).*(BIND_NOW| NOW( |$))' "$scratch/dynamic" || fail "$tool is not linked with -z now"
        readelf -lW "$file" | grep -q GNU_RELRO || fail "$tool has no read-only relocations (-z relro)"
        readelf --dyn-syms -W "$file" >"$scratch/symbols"
        grep -q ' __stack_chk_fail\b' "$scratch/symbols" || fail "$tool has no stack protector"
        grep -Eq ' __[a-z]+_chk(@|$)' "$scratch/symbols" || fail "$tool calls no fortified function"
    done
    if ((failures == before)); then
        echo "readelf: both tools stripped, no .comment$([[ ${MORVIK_HARDENED:-1} != 0 ]] &&
            echo ', PIE, BIND_NOW, RELRO, stack protector, fortified calls')"
    fi
    return 0
}

# Each row: the command line up to the cursor (the last word is the one
# being completed, "" for a new word), then the expected completions.
completion_cases=(
    'Morvik --pad ""|0x00 0xFF 0xff'
    'Morvik -p 0xf|0xff'
    'Morvik --pad = ""|0x00 0xFF 0xff'
    'Morvik --pad =|0x00 0xFF 0xff'
    'Morvik -i ""|ARMPARA.PAR DUAL.PAR'
    'Morvik -d -i D|DUAL.PAR'
    'Morvik --de|--debug'
    'Morvik --p|--pad --parfmt'
    'Morvik-inspect --v|--version'
    'Morvik-inspect -q k|kernel-b.bin kernel.bin'
)

check_completion() {
    local script
    for script in "$prefix/$completions/Morvik" "$prefix/$completions/Morvik-inspect"; do
        bash -n "$script" || fail "bash -n ${script##*/}"
    done
    local row line expected got
    for row in "${completion_cases[@]}"; do
        line=${row%%|*}
        expected=${row#*|}
        # The file installed under the command's own name must complete it.
        got=$(cd "$prefix/$examples" && bash -c '
            script=$1; shift
            eval "COMP_WORDS=($1)"
            COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 ))
            source "$script" || exit 1
            registered=$(complete -p "${COMP_WORDS[0]}") || exit 1
            function=${registered##*-F }
            "${function%% *}"
            printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | tr "\n" " "
        ' check "$prefix/$completions/${line%% *}" "$line")
        [[ ${got% } == "$expected" ]] || fail "completing [$line]: got [${got% }], expected [$expected]"
    done
}

check_files
check_tools
check_example_binds
check_completion
check_compressed_docs
skipped=0
lint_man_pages || skipped=1
check_binaries || skipped=1

if ((failures > 0)); then
    echo "$failures check(s) failed for $prefix"
    exit 1
fi
((skipped == 0)) || exit 77
echo "installed Morvik $version in ${stage_from:+a staged }$prefix: all checks passed"
