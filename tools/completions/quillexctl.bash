# bash completion for quillexctl: its commands, their options, and the names
# they take (state items, mapping values, Xbox buttons). Installed as
# share/bash-completion/completions/quillexctl.

_quillexctl_buttons="BTN_A BTN_B BTN_X BTN_Y BTN_LEFT_TRIGGER BTN_RIGHT_TRIGGER BTN_BACK
    BTN_RIGHT_TRIANGLE BTN_LEFT_JOY_PRESS BTN_RIGHT_JOY_PRESS BTN_PWR BTN_HOME BTN_LEFT_TRIANGLE"
_quillexctl_items="$_quillexctl_buttons RIGHT_STICK_Y RIGHT_STICK_X LEFT_STICK_X LEFT_STICK_Y
    DPAD FIRST_TRIGGER SECOND_TRIGGER LED DPAD_MODE TURBO_MASK TURBO_RATE HOTKEYS INTERFACE_VERSION"
_quillexctl_values="$_quillexctl_buttons SWAP_TRIGGERS SWAP_STICKS ENABLE_SCALING
    R_TRIG_CP_1 R_TRIG_CP_2 L_TRIG_CP_1 L_TRIG_CP_2 R_STICK_X_CP_1 R_STICK_X_CP_2
    R_STICK_Y_CP_1 R_STICK_Y_CP_2 L_STICK_X_CP_1 L_STICK_X_CP_2 L_STICK_Y_CP_1 L_STICK_Y_CP_2"
_quillexctl_xbox="A B X Y LEFT_SHOULDER RIGHT_SHOULDER BACK START LEFT_STICK_PRESS
    RIGHT_STICK_PRESS GUIDE NONE LT RT LB RB LS RS HOME"

_quillexctl_files() {
    local IFS=$'\n'
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -d -- "$cur") $(compgen -f -X "!$1" -- "$cur"))
}

_quillexctl() {
    local cur="${COMP_WORDS[COMP_CWORD]}" prev="${COMP_WORDS[COMP_CWORD - 1]}"
    local global="--help --version --connect --stick --device --json"
    case "$prev" in
    --connect)
        _quillexctl_files "*.sock"
        return
        ;;
    --svg)
        _quillexctl_files "*.svg"
        return
        ;;
    --stick)
        COMPREPLY=($(compgen -W "$(seq 1 16)" -- "$cur"))
        return
        ;;
    --device)
        COMPREPLY=($(compgen -W "$(seq 0 15)" -- "$cur"))
        return
        ;;
    --rate)
        COMPREPLY=($(compgen -W "$(seq 2 30)" -- "$cur"))
        return
        ;;
    --port)
        COMPREPLY=()
        return
        ;;
    esac

    # The words typed so far that are not options: the command, the mapping
    # command's own command, and their arguments.
    local -a words=()
    local i w
    for ((i = 1; i < COMP_CWORD; ++i)); do
        w="${COMP_WORDS[i]}"
        case "$w" in
        --connect | --stick | --device | --rate | --svg | --port) ((++i)) ;;
        -*) ;;
        *) words+=("$w") ;;
        esac
    done
    local command="${words[0]:-}" options="$global"
    case "$command" in
    "")
        COMPREPLY=($(compgen -W "$global state get set mapping mode turbo hotkeys curves ui" \
            -- "$cur"))
        return
        ;;
    get | set)
        ((${#words[@]} == 1)) && [[ $cur != -* ]] &&
            COMPREPLY=($(compgen -W "$_quillexctl_items" -- "$cur")) && return
        ;;
    mapping)
        case "${words[1]:-}" in
        "")
            [[ $cur != -* ]] &&
                COMPREPLY=($(compgen -W "set defaults export import" -- "$cur")) && return
            ;;
        set)
            # NAME=VALUE: bash splits the word at '=', so the value is its own word.
            if [[ $cur == "=" || $prev == "=" ]]; then
                local name="${COMP_WORDS[COMP_CWORD - 1]}"
                [[ $cur == "=" ]] && cur="" || name="${COMP_WORDS[COMP_CWORD - 2]}"
                [[ $name == BTN_* ]] && COMPREPLY=($(compgen -W "$_quillexctl_xbox" -- "$cur"))
                [[ $name == SWAP_* || $name == ENABLE_* ]] &&
                    COMPREPLY=($(compgen -W "0 1" -- "$cur"))
                return
            fi
            if [[ $cur != -* ]]; then
                compopt -o nospace 2>/dev/null
                COMPREPLY=($(compgen -W "$_quillexctl_values" -S "=" -- "$cur"))
                return
            fi
            ;;
        export)
            [[ $cur != -* ]] && _quillexctl_files "*.reg" && return
            ;;
        import)
            options+=" --ignore-unknown"
            [[ $cur != -* ]] && _quillexctl_files "*.reg" && return
            ;;
        esac
        ;;
    mode)
        ((${#words[@]} == 1)) && [[ $cur != -* ]] &&
            COMPREPLY=($(compgen -W "dpad left right" -- "$cur")) && return
        ;;
    turbo)
        options+=" --rate"
        [[ $cur != -* ]] && COMPREPLY=($(compgen -W "$_quillexctl_buttons off" -- "$cur")) && return
        ;;
    hotkeys)
        ((${#words[@]} == 1)) && [[ $cur != -* ]] &&
            COMPREPLY=($(compgen -W "on off" -- "$cur")) && return
        ;;
    curves)
        options+=" --svg"
        ;;
    ui)
        options+=" --port --no-browser --listen-any"
        ;;
    esac
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
}
complete -F _quillexctl quillexctl
