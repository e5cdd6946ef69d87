#!/usr/bin/env bash
# The commands the README and docs/ show in `console` blocks print what the
# page says. A block is "$ command" lines, each followed by the lines it
# prints: every shown line must be printed, in order and next to the one
# before it, except across a "..." line, which stands for any number of lines.
# Commands run in one shell per block, from a scratch folder that holds the
# page's build/ (the build tree) and docs/, so a page's relative paths work as written.
# A command put in the background with --serve SOCKET is waited for until
# its socket answers, as a person would before typing the next one.
tools="$1"  # the folder with quillex-sim and quillexctl
source="$2" # the repository
shift 2
source "$(dirname "$0")/common.sh"
work="$dir"

# check_output EXPECTED ACTUAL WHERE: the shown lines appear as described.
check_output() {
    local -a want=() got=()
    mapfile -t want <"$1"
    [[ -f $2 ]] && mapfile -t got <"$2"
    local i=0 j=0 skip=0
    for ((i = 0; i < ${#want[@]}; ++i)); do
        if [[ ${want[i]} == "..." ]]; then
            skip=1
            continue
        fi
        if ((skip)); then
            while ((j < ${#got[@]})) && [[ ${got[j]} != "${want[i]}" ]]; do
                ((++j))
            done
        fi
        if ((j >= ${#got[@]})) || [[ ${got[j]} != "${want[i]}" ]]; then
            fail "$3: the page shows '${want[i]}', the command printed $( ((j < ${#got[@]})) && echo "'${got[j]}' there" || echo "nothing more")"
            return
        fi
        ((++j))
        skip=0
    done
    if ((!skip && j < ${#got[@]})); then
        fail "$3: the command printed more than the page shows: '${got[j]}'"
    fi
}

run_block() {
    local page="$1" line="$2"
    shift 2
    local dir="$work/block"
    rm -rf "$dir"
    mkdir -p "$dir"
    ln -s "$(dirname "$tools")" "$dir/build"
    ln -s "$source/docs" "$dir/docs"
    local script="$dir/.script" n=0
    echo 'set -m' >"$script"
    for l in "$@"; do
        if [[ $l == '$ '* ]]; then
            n=$((n + 1))
            local cmd="${l#\$ }"
            : >"$dir/.want.$n"
            printf '{ %s\n} >.got.%s 2>&1\n' "$cmd" "$n" >>"$script"
            if [[ $cmd =~ --serve\ ([^ ]+).*\&$ ]]; then
                printf 'for _ in $(seq 200); do [[ -S %s ]] && break; sleep 0.05; done\n' \
                    "${BASH_REMATCH[1]}" >>"$script"
            fi
        elif ((n > 0)); then
            printf '%s\n' "$l" >>"$dir/.want.$n"
        fi
    done
    # A command may fail on purpose (a page shows a refusal): its output says.
    (cd "$dir" && timeout 60 bash "$script")
    [[ $? -ne 124 ]] || fail "$page:$line: the block's commands did not end within 60 s"
    for ((i = 1; i <= n; ++i)); do
        check_output "$dir/.want.$i" "$dir/.got.$i" "$page:$line, command $i"
    done
}

# check_excerpt PAGE:LINE FILE FROM LINES...: a block a page says it took from
# FILE at line FROM ("<!-- from FILE:FROM -->" above it) is those lines still.
check_excerpt() {
    local where="$1" file="$2" from="$3"
    shift 3
    if [[ ! -f $source/$file ]]; then
        fail "$where: the block is taken from $file, which is not there"
        return
    fi
    local -a lines=()
    mapfile -t lines < <(tail -n "+$from" "$source/$file" | head -n "$#")
    local i=0
    for l in "$@"; do
        if [[ ${lines[i]-} != "$l" ]]; then
            fail "$where: line $((i + 1)) of the block is not line $((from + i)) of $file any more: '${lines[i]-}'"
            return
        fi
        i=$((i + 1))
    done
}

checked=0
excerpts=0
for page in "$source/README.md" "$source"/docs/*.md; do
    name=${page#"$source/"}
    inside=0
    number=0
    block=()
    start=0
    excerpt=""
    while IFS= read -r l || [[ -n $l ]]; do
        number=$((number + 1))
        if ((!inside)) && [[ $l =~ ^\<!--\ from\ ([^:]+):([0-9]+)\ --\>$ ]]; then
            excerpt="${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"
        elif ((!inside)) && [[ $l == '```'* ]]; then
            inside=1
            [[ $l == '```console' ]] && inside=2
            [[ -n $excerpt ]] && inside=3
            start=$number
            block=()
        elif ((inside)) && [[ $l == '```' ]]; then
            if ((inside == 2)); then
                run_block "$name" "$start" "${block[@]}"
                checked=$((checked + 1))
            elif ((inside == 3)); then
                # shellcheck disable=SC2086 # file and line, split on purpose
                check_excerpt "$name:$start" $excerpt "${block[@]}"
                excerpts=$((excerpts + 1))
            fi
            inside=0
            excerpt=""
        elif ((inside)); then
            block+=("$l")
        else
            [[ -z $l ]] || excerpt=""
        fi
    done <"$page"
done
((checked > 0)) || fail "no console block found"
((excerpts > 0)) || fail "no block taken from a file found"
((failures == 0)) || exit 1
echo "docs: $checked console blocks print what their pages show, $excerpts blocks match their files"
