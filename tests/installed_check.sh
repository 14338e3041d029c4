#!/usr/bin/env bash
# Checks an installed Morvik:
#
#   installed_check.sh PREFIX VERSION             an installation, e.g. /usr
#   installed_check.sh --stage BUILD_DIR VERSION  cmake --install BUILD_DIR into
#                                                 a scratch DESTDIR, and check
#                                                 that it installs nothing else
#
# Every file is in place, the installed tools run, bind the installed example
# and verify it, the man pages format without a warning, and the bash
# completion completes. Exit status 0 when all holds, 1 otherwise (each
# failure is listed), 77 when all that could be checked holds but groff is
# missing to check the man pages.
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
    DESTDIR=$scratch/stage "${CMAKE:-cmake}" --install "$stage_from" --prefix /usr >"$scratch/install.log" 2>&1 ||
        { cat "$scratch/install.log"; exit 1; }
elif [[ $# -eq 2 && $1 != --stage ]]; then
    prefix=$1
    version=$2
else
    echo "usage: $0 PREFIX VERSION | $0 --stage BUILD_DIR VERSION" >&2
    exit 2
fi

examples=share/doc/morvik/examples
completions=share/bash-completion/completions
installed_files=(
    bin/Morvik
    bin/Morvik-inspect
    share/man/man1/Morvik.1
    share/man/man1/Morvik-inspect.1
    share/man/man5/morvik-par.5
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
    local source_dir
    source_dir=$(cd "$(dirname "$0")/.." && pwd)
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

# groff -ww turns on every warning; -z formats without output. Both the
# default device and the terminal one, which man uses.
lint_man_pages() {
    if ! command -v groff >/dev/null; then
        echo "SKIP: groff not found, man pages not linted"
        return 1
    fi
    local page device warnings before=$failures
    for page in "$prefix"/share/man/man1/Morvik.1 "$prefix"/share/man/man1/Morvik-inspect.1 \
        "$prefix"/share/man/man5/morvik-par.5; do
        for device in ps utf8; do
            warnings=$(groff -ww -z -man -T$device "$page" 2>&1)
            [[ -z $warnings ]] || fail "groff -ww -z -man -T$device ${page##*/}: $warnings"
        done
    done
    ((failures > before)) || echo "groff -ww -z -man (-Tps, -Tutf8): no warning in the 3 man pages"
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
lint_man_pages
linted=$?

if ((failures > 0)); then
    echo "$failures check(s) failed for $prefix"
    exit 1
fi
((linted == 0)) || exit 77
echo "installed Morvik $version in ${stage_from:+a staged }$prefix: all checks passed"
