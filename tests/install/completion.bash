#!/usr/bin/env bash
# Completes command lines with the installed bash completion of chartransfer-cli and
# compares the offers with what each line should get. The two helpers it uses from the
# bash-completion package are stood in for here, so the test needs no such package.
#
#   bash completion.bash <installed completion file>
set -uo pipefail
file="$(realpath "$1")" || exit 1
scratch="$(mktemp -d)" || exit 1
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
mkdir world worlds-old
touch moves.txt world.txt

_init_completion()
{
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD - 1]}"
}
_filedir()
{
    if [[ ${1:-} == -d ]]; then
        COMPREPLY=($(compgen -d -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
# shellcheck source=/dev/null
. "$file" || exit 1

# What the completion offers for LINE, sorted, on one line; a LINE ending in a space
# completes a new, empty word.
offers()
{
    local line="$1"
    read -r -a COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _chartransfer_cli chartransfer-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' '
}

failed=0
while IFS='|' read -r line wanted; do
    got="$(offers "$line")"
    if [[ $got != "$wanted" ]]; then
        echo "completing \"$line\": got \"$got\", wanted \"$wanted\"" >&2
        failed=1
    fi
done <<'CASES'
chartransfer-cli |check export list merge recover transfer
chartransfer-cli tr|transfer
chartransfer-cli --v|--version
chartransfer-cli --h|--help
chartransfer-cli check w|world worlds-old
chartransfer-cli list |world worlds-old
chartransfer-cli recover --d|--discard
chartransfer-cli check --|--help --json --quiet
chartransfer-cli transfer --from |world worlds-old
chartransfer-cli transfer --from world --to worlds-|worlds-old
chartransfer-cli transfer --batch mo|moves.txt
chartransfer-cli transfer --sk|--skip-existing
chartransfer-cli transfer --account |
chartransfer-cli transfer --from world "Aldo|
chartransfer-cli -q transfer --without|--without-items
chartransfer-cli merge --join|--join-existing
chartransfer-cli export --source|--source-account
CASES
exit $failed
