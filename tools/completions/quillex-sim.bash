# bash completion for quillex-sim: its options, and the values each one takes.
# Installed as share/bash-completion/completions/quillex-sim; source it by
# hand to try it from a build tree.

_quillex_sim_files() { # FILE options: the files that match GLOB, and folders
    local IFS=$'\n'
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -d -- "$cur") $(compgen -f -X "!$1" -- "$cur"))
}

_quillex_sim() {
    local cur="${COMP_WORDS[COMP_CWORD]}" prev="${COMP_WORDS[COMP_CWORD - 1]}"
    # --layout=b: bash splits the word at '='.
    if [[ $cur == "=" ]]; then
        cur=""
    elif [[ $prev == "=" && $COMP_CWORD -ge 2 ]]; then
        prev="${COMP_WORDS[COMP_CWORD - 2]}"
    fi
    case "$prev" in
    --layout)
        COMPREPLY=($(compgen -W "a b both" -- "$cur"))
        return
        ;;
    --session)
        COMPREPLY=($(compgen -W "triggers lever-modes turbo" -- "$cur"))
        return
        ;;
    --sticks)
        COMPREPLY=($(compgen -W "$(seq 1 16)" -- "$cur"))
        return
        ;;
    --speed)
        COMPREPLY=($(compgen -W "max 2 10 100" -- "$cur"))
        return
        ;;
    --trace)
        COMPREPLY=($(compgen -W "0 1 2 3 4 5" -- "$cur"))
        return
        ;;
    --usbip)
        COMPREPLY=($(compgen -W "127.0.0.1:3240" -- "$cur"))
        return
        ;;
    --usbip-seconds)
        COMPREPLY=()
        return
        ;;
    --registry)
        _quillex_sim_files "*.reg"
        return
        ;;
    --script)
        _quillex_sim_files "*.session"
        return
        ;;
    --record | --expect)
        _quillex_sim_files "*.jsonl"
        return
        ;;
    --pcap)
        _quillex_sim_files "*.pcap"
        return
        ;;
    --serve)
        _quillex_sim_files "*.sock"
        return
        ;;
    esac
    COMPREPLY=($(compgen -W "--help --version --layout --sticks --registry --print-mapping
        --save-mapping --script --session --record --expect --json --live --keyboard --pcap
        --usbip --usbip-any --usbip-seconds --serve --speed --trace" -- "$cur"))
}
complete -F _quillex_sim quillex-sim
