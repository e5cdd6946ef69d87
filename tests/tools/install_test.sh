#!/usr/bin/env bash
# Installing the tools: `cmake --install` into a scratch prefix gives both
# programs, the built-in sessions as files (each plays as its built-in self
# does) and bash completions that offer every option the programs' --help
# lists; `cpack` gives a Debian package whose programs run from a scratch root.
build="$1" # the build tree
source "$(dirname "$0")/common.sh"
work="$dir"
at_exit 'kill %1 2>/dev/null; wait'

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    fail "cmake --install failed: $(cat "$work/install.log")"
sessions="$prefix/share/quillex/sessions"
completions="$prefix/share/bash-completion/completions"
for f in bin/quillex-sim bin/quillexctl share/bash-completion/completions/quillex-sim \
    share/bash-completion/completions/quillexctl; do
    [[ -f $prefix/$f ]] || fail "not installed: $f"
done
sim="$prefix/bin/quillex-sim"
ctl="$prefix/bin/quillexctl"

# The installed programs run from anywhere and find their built-in sessions;
# the installed session files are those sessions.
cd "$work" || exit 1
[[ $("$sim" --version) == "quillex-sim "* ]] || fail "installed quillex-sim --version"
[[ $("$ctl" --version) == "quillexctl "* ]] || fail "installed quillexctl --version"
game_view() { # the steps' Xbox reports and what a game read, from --json
    "$@" --json --speed max | jq -c '[.sticks[].steps[] | [.xbox, .game]]'
}
for name in triggers lever-modes turbo; do
    [[ -f $sessions/$name.session ]] || { fail "no $name.session installed"; continue; }
    built_in=$(game_view "$sim" --layout a --session "$name")
    from_file=$(game_view "$sim" --layout a --script "$sessions/$name.session")
    [[ -n $built_in && $built_in != "[]" ]] || fail "--session $name gave no steps"
    [[ $built_in == "$from_file" ]] || fail "$name.session plays otherwise than --session $name"
done
for layout in a b; do
    built_in=$(game_view "$sim" --layout "$layout")
    from_file=$(game_view "$sim" --layout "$layout" --script "$sessions/layout-$layout.session")
    [[ -n $built_in && $built_in == "$from_file" ]] ||
        fail "layout-$layout.session plays otherwise than the built-in session"
done

# complete TOOL WORDS...: what the installed completion offers for the last
# word, as bash would ask when Tab is pressed after the words.
complete_words() {
    local tool="$1"
    shift
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
             "$(complete -p "$COMP_WORDS" | sed "s/.*-F \([^ ]*\) .*/\1/")"
             printf "%s\n" "${COMPREPLY[@]}"' _ "$completions/$tool" "$tool" "$@"
}
# offers WANT TOOL WORDS...: the completion offers WANT (a word, or every
# word of a list given as @FILE).
offers() {
    local want="$1"
    shift
    local got
    got=$(complete_words "$@")
    local -a words=("$want")
    [[ $want == @* ]] && mapfile -t words <"${want#@}"
    for w in "${words[@]}"; do
        grep -qxF -- "$w" <<<"$got" || fail "completing '$*' does not offer '$w' (offers: $(echo $got))"
    done
}
# The options a --help lists, one a line.
help_options() {
    "$@" --help | grep -oE '^ +(-[a-z], )?--[a-z-]+' | grep -oE -- '--[a-z-]+' | sort -u
}

help_options "$sim" >"$work/sim-options"
[[ $(wc -l <"$work/sim-options") -gt 15 ]] || fail "quillex-sim --help lists few options"
offers "@$work/sim-options" quillex-sim ""
offers --layout quillex-sim --lay
offers lever-modes quillex-sim --session l
offers max quillex-sim --layout a --speed ""
mkdir -p "$work/regs" && : >"$work/regs/mine.reg" && : >"$work/regs/other.txt"
(cd "$work/regs" && offers mine.reg quillex-sim --registry "")
(cd "$work/regs" && complete_words quillex-sim --registry "" | grep -q other.txt) &&
    fail "--registry offers a file that is no .reg"

help_options "$ctl" >"$work/ctl-options"
offers "@$work/ctl-options" quillexctl ""
commands=$("$ctl" --help | sed -n '/^Subcommands:/,$p' | grep -oE '^  [a-z]+' | tr -d ' ')
[[ -n $commands ]] || fail "quillexctl --help lists no command"
for c in $commands; do
    offers "$c" quillexctl --stick 1 ""
    help_options "$ctl" "$c" >"$work/ctl-$c-options"
    offers "@$work/ctl-$c-options" quillexctl "$c" -
done
for c in $("$ctl" mapping --help | sed -n '/^Subcommands:/,$p' | grep -oE '^  [a-z]+'); do
    offers "$c" quillexctl mapping ""
    help_options "$ctl" mapping "$c" >"$work/ctl-mapping-$c-options"
    offers "@$work/ctl-mapping-$c-options" quillexctl mapping "$c" -
done
offers left quillexctl --connect x.sock mode ""
offers on quillexctl hotkeys o
offers off quillexctl turbo BTN_A ""

# Names: every state item and mapping value quillexctl knows, as a running
# machine lists them, and the Xbox buttons a button value takes.
"$sim" --layout a --serve "$work/q.sock" >"$work/serve.log" 2>&1 &
for _ in $(seq 200); do [[ -S $work/q.sock ]] && break; sleep 0.05; done
"$ctl" --connect "$work/q.sock" get NO_SUCH_ITEM 2>&1 | sed 's/.*their names://' | tr ' ' '\n' |
    grep . >"$work/items"
[[ $(wc -l <"$work/items") -ge 20 ]] || fail "quillexctl get lists no items: $(cat "$work/items")"
offers "@$work/items" quillexctl get ""
"$ctl" --connect "$work/q.sock" --json mapping | jq -r '.values | keys[] + "="' >"$work/values"
[[ $(wc -l <"$work/values") -ge 28 ]] || fail "quillexctl mapping lists few values"
offers "@$work/values" quillexctl mapping set ""
"$ctl" --connect "$work/q.sock" mapping set BTN_A=NO_SUCH_BUTTON 2>&1 |
    grep -oE '[A-Z_]+ \([0-9]+\)' | cut -d' ' -f1 >"$work/xbox"
[[ $(wc -l <"$work/xbox") -eq 14 ]] || fail "quillexctl lists $(wc -l <"$work/xbox") Xbox buttons"
offers "@$work/xbox" quillexctl mapping set BTN_A =
offers GUIDE quillexctl mapping set BTN_HOME = G
kill %1 && wait

# The Debian package: made by cpack, unpacked into a scratch root, its
# programs run from there.
if command -v dpkg-deb >/dev/null; then
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 ||
        fail "cpack failed: $(tail -20 "$work/cpack.log")"
    deb=$(ls "$work"/package/*.deb 2>/dev/null | head -1)
    if [[ -z $deb ]]; then
        fail "cpack made no .deb"
    else
        dpkg-deb -f "$deb" Depends | grep -q libpcap || fail "the package does not depend on libpcap"
        dpkg-deb -x "$deb" "$work/root"
        root_sim="$work/root/usr/bin/quillex-sim"
        "$root_sim" --version | grep -qx 'quillex-sim [0-9.]*' || fail "packaged quillex-sim --version"
        "$root_sim" --help >"$work/help" || fail "packaged quillex-sim --help failed"
        grep -q -- '--registry FILE.reg' "$work/help" || fail "packaged quillex-sim --help"
        "$work/root/usr/bin/quillexctl" --version | grep -q '^quillexctl ' ||
            fail "packaged quillexctl --version"
        for f in share/quillex/sessions/turbo.session share/bash-completion/completions/quillexctl; do
            [[ -f $work/root/usr/$f ]] || fail "the package has no /usr/$f"
        done
    fi
else
    fail "dpkg-deb is missing (scripts/install-deps.sh installs dpkg-dev)"
fi

((failures == 0)) || exit 1
echo "install: both tools, their sessions and completions installed; the package runs"
