# bash completion for Morvik and Morvik-inspect.
#
# Installed as share/bash-completion/completions/Morvik and, the same file,
# as .../Morvik-inspect, so bash-completion loads it for either command. It
# needs nothing from bash-completion and can also be sourced on its own.

# Completes the word $1 with files and folders; with a glob $2, only the
# files that match it (and every folder, to go on from there).
_morvik_files() {
    local cur=$1 glob=$2
    compopt -o filenames 2>/dev/null
    if [[ -n $glob ]]; then
        mapfile -t COMPREPLY < <(compgen -d -- "$cur"; compgen -f -X "!$glob" -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}

# Morvik [-i PAR_FILE] [-o BIN_FILE] [-p PAD] [-d] [-v] [-h] [-f] [--quiet] [--strict]
#        [--makedeps DEP_FILE] [--map MAP_FILE]
_morvik() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    # bash splits "--pad=0xff" at the '=': the words are --pad, = and 0xff.
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = && $COMP_CWORD -ge 2 ]]; then
        prev=${COMP_WORDS[COMP_CWORD-2]}
    fi
    case $prev in
        -i) _morvik_files "$cur" '*.[Pp][Aa][Rr]'; return ;;
        -o | --makedeps | --map) _morvik_files "$cur" ''; return ;;
        -p | --pad) mapfile -t COMPREPLY < <(compgen -W '0x00 0xff 0xFF' -- "$cur"); return ;;
    esac
    mapfile -t COMPREPLY < <(compgen -W '-i -o -p --pad -d --debug -f --parfmt -v --version -h --help --quiet --strict --makedeps --map' -- "$cur")
}

# Morvik-inspect [--json] [--quiet] [--extract DIR] [--svg FILE] [--checksums] [--against FILE.PAR [--fill 0x00|0xff]]
#                [--ihex FILE] [--motorola FILE] [--base ADDR] IMAGE
# Morvik-inspect --diff [--json] [--quiet] OLD NEW
_morvik_inspect() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    if [[ $prev == -x || $prev == --extract ]]; then
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
    elif [[ $prev == --base ]]; then
        COMPREPLY=()  # an address, nothing to complete
    elif [[ $prev == --against ]]; then
        _morvik_files "$cur" '*.[Pp][Aa][Rr]'
    elif [[ $prev == --fill ]]; then
        mapfile -t COMPREPLY < <(compgen -W '0x00 0xff 0xFF' -- "$cur")
    elif [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '-j --json -q --quiet -x --extract -s --svg --checksums --ihex --motorola --base --diff --against --fill -h --help -V --version' -- "$cur")
    else
        _morvik_files "$cur" ''
    fi
}

complete -F _morvik Morvik
complete -F _morvik_inspect Morvik-inspect
