# bash completion for qivma, the command-line tool of the qivma driver, and
# for fpsim, its controller simulator.
# Install: copy to /usr/share/bash-completion/completions/qivma (and link
# fpsim to it there), or source it from ~/.bashrc.

_qivma_command() {
    local word
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        case $word in
            info | check | read | write | poll | scan | demo | help)
                printf '%s' "$word"
                return
                ;;
        esac
    done
}

_qivma() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    local commands="info check read write poll scan demo help"
    local line="--port --sim --sim-station --sim-fault --sim-fault-every --baud --data-bits
        --parity --stop-bits --line --timeout --trace --json --json-lines --quiet --verbose
        --help --version"
    local tag="--type --count --format --word-order"

    case $prev in
        --port | -p)
            COMPREPLY=($(compgen -f -- "${cur:-/dev/tty}"))
            return
            ;;
        --parity | -P) COMPREPLY=($(compgen -W "none odd even mark space" -- "$cur")); return ;;
        --stop-bits) COMPREPLY=($(compgen -W "1 1.5 2" -- "$cur")); return ;;
        --baud | -b)
            COMPREPLY=($(compgen -W "1200 2400 4800 9600 19200 38400 57600" -- "$cur"))
            return
            ;;
        --data-bits) COMPREPLY=($(compgen -W "5 6 7 8" -- "$cur")); return ;;
        --line) COMPREPLY=($(compgen -W "8N1 8O1 8E1 8N2 7E1 7O1 7E2" -- "$cur")); return ;;
        --type) COMPREPLY=($(compgen -W "word dword bit" -- "$cur")); return ;;
        --format | -f)
            COMPREPLY=($(compgen -W "signed unsigned hex bin bcd float ascii" -- "$cur"))
            return
            ;;
        --word-order) COMPREPLY=($(compgen -W "low-first high-first" -- "$cur")); return ;;
        --sim-fault)
            COMPREPLY=($(compgen -W "no-answer late truncated corrupt bad-bcc wrong-station
                error stray double echo noise foreign none" -- "$cur"))
            return
            ;;
        --csv) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --sim-fault-every)
            COMPREPLY=($(compgen -W "1:late:60 1:no-answer 2:corrupt 10:no-answer" -- "$cur"))
            return
            ;;
        --timeout | -t | --count | -c | --interval | --for | --sim-station | --register) return ;;
    esac

    local command
    command=$(_qivma_command)
    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$line" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi
    if [[ $command == help ]]; then
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        return
    fi
    if [[ $cur == -* ]]; then
        local own=""
        case $command in
            check) own="--type --count" ;;
            read) own=$tag ;;
            write) own="$tag --allow-nonfinite" ;;
            poll) own="$tag --interval --for --csv" ;;
            scan) own="--register" ;;
        esac
        COMPREPLY=($(compgen -W "$own $line" -- "$cur"))
    fi
}

# fpsim's options as its own help lists them, so that they stay current.
_fpsim() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    case $prev in
        --link | --device | --init) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --parity) COMPREPLY=($(compgen -W "none odd even mark space" -- "$cur")); return ;;
        --profile) COMPREPLY=($(compgen -W "large small" -- "$cur")); return ;;
    esac
    if [[ $cur == -* ]]; then
        local options
        options=$("${COMP_WORDS[0]}" --help 2>&1 | grep -o -- '--[a-z][a-z-]*' | sort -u)
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    fi
}

complete -F _qivma qivma qivma.exe
complete -F _fpsim fpsim
