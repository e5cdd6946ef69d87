#!/usr/bin/env bash
# The commands the README and docs/ show in `console` blocks print what the
# page says, and those of `sh` blocks are checked (see check_sh_block). A block is "$ command" lines, each followed by the lines it
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

# The commands of `sh` blocks, which would take too long or need more than a
# test has (a terminal, a browser, minutes of fuzzing), are checked without
# running them in full: each program exists; a gtest filter selects tests, a
# benchmark filter benchmarks, a ctest selection tests, and their options
# are taken (the programs list what they would run, and run nothing); a
# script exists, and a fuzz target it names is one. A block whose commands a
# test of the suite runs names it (```sh test=NAME); a block no machine here
# can run (a kernel module, ssh, sudo) says so (```sh manual) and is left.
build="$(dirname "$tools")"
check_command() {
    local where="$1" line="$2"
    # Split as the shell would, quotes and all, without running anything.
    local -a words
    mapfile -t words < <(printf '%s\n' "$line" | xargs -n 1 printf '%s\n' 2>/dev/null)
    # Leading VAR=value assignments set the environment; a subshell's
    # "(cd build && X)" runs X in build/.
    local -a env=()
    while ((${#words[@]})) && [[ ${words[0]} =~ ^[A-Z_]+= ]]; do
        env+=("${words[0]}")
        words=("${words[@]:1}")
    done
    if [[ ${words[0]:-} == "(cd" && ${words[1]:-} == build && ${words[2]:-} == "&&" ]]; then
        words=("${words[@]:3}")
        words[-1]="${words[-1]%)}"
        [[ ${words[0]} == ctest ]] && words=(ctest --test-dir build "${words[@]:1}")
    fi
    local program="${words[0]:-}"
    case "$program" in
    build/tests/* | build-*/tests/* | build/bench/*)
        local path="$build/${program#*/}"
        # The sanitizer builds leave the benchmarks out.
        [[ $program == */bench/* && ! -d $build/bench ]] && return
        [[ -x $path ]] || { fail "$where: no program $program"; return; }
        local listed
        if [[ $program == */bench/* ]]; then
            listed=$(env "${env[@]}" "$path" "${words[@]:1}" --benchmark_list_tests=true 2>&1 |
                grep '^BM_')
        else
            listed=$(env "${env[@]}" "$path" "${words[@]:1}" --gtest_list_tests 2>&1 | grep '^  ')
        fi
        [[ $? -eq 0 && -n $listed ]] || fail "$where: '$line' selects nothing: $(echo $listed | head -c 300)"
        ;;
    ctest)
        local -a args=("${words[@]:1}")
        [[ ${args[0]:-} == --test-dir ]] && args=("${args[@]:2}")
        local total
        total=$(cd "$build" && ctest -N "${args[@]}" 2>&1 | sed -n 's/^Total Tests: //p')
        [[ ${total:-0} -gt 0 ]] || fail "$where: '$line' selects no test"
        ;;
    scripts/*)
        [[ -x $source/$program ]] || { fail "$where: no script $program"; return; }
        if [[ $program == scripts/fuzz.sh && ${words[1]} != all ]]; then
            [[ -f $source/fuzz/${words[1]}.cpp ]] || fail "$where: no fuzz target ${words[1]}"
        fi
        ;;
    *)
        fail "$where: the docs test cannot check '$line': make the block a console block, or name the test that runs it (\`\`\`sh test=NAME)"
        ;;
    esac
}

check_sh_block() {
    local page="$1" start="$2" info="$3"
    shift 3
    if [[ $info == "manual" ]]; then
        return
    fi
    if [[ $info == test=* ]]; then
        # Defined in the plain build at least: some are left out of the
        # sanitizer builds.
        local name="${info#test=}"
        grep -rqE "add_test\(NAME $name( |\$)" "$source/tests" ||
            fail "$page:$start: the block names a test '$name' the suite does not have"
        return
    fi
    [[ -z $info ]] || { fail "$page:$start: '\`\`\`sh $info' is neither test=NAME nor manual"; return; }
    local joined=""
    for l in "$@"; do
        l="${l%%  #*}"                 # a comment after the command
        [[ $l =~ ^[[:space:]]*# ]] && continue
        if [[ $l == *\\ ]]; then
            joined+="${l%\\} "
            continue
        fi
        l="$joined$l"
        joined=""
        l="${l#"${l%%[![:space:]]*}"}"
        [[ -n $l ]] && check_command "$page:$start" "$l"
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
shchecked=0
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
        elif ((!inside)) && [[ -n $excerpt && $l == '```'* ]]; then
            inside=3
            start=$number
            block=()
        elif ((!inside)) && [[ $l == '```console' ]]; then
            inside=1
            start=$number
            block=()
        elif ((!inside)) && [[ $l == '```sh'* ]]; then
            inside=2
            start=$number
            info="${l#\`\`\`sh}"
            info="${info# }"
            block=()
        elif ((inside == 1)) && [[ $l == '```' ]]; then
            inside=0
            run_block "$name" "$start" "${block[@]}"
            checked=$((checked + 1))
        elif ((inside == 2)) && [[ $l == '```' ]]; then
            inside=0
            check_sh_block "$name" "$start" "$info" "${block[@]}"
            shchecked=$((shchecked + 1))
        elif ((inside == 3)) && [[ $l == '```' ]]; then
            inside=0
            # shellcheck disable=SC2086 # file and line, split on purpose
            check_excerpt "$name:$start" $excerpt "${block[@]}"
            excerpt=""
            excerpts=$((excerpts + 1))
        elif ((inside)); then
            block+=("$l")
        elif [[ -n $l ]]; then
            excerpt="" # the mark names the block right below it
        fi
    done <"$page"
done
((checked > 0)) || fail "no console block found"
((excerpts > 0)) || fail "no block taken from a file found"
((failures == 0)) || exit 1
echo "docs: $checked console blocks print what their pages show; the commands of $shchecked sh blocks are checked; $excerpts blocks match the files they come from"
