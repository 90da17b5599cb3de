# SPDX-License-Identifier: GPL-2.0-or-later
# bash completion for spoolpack and spoolex (installed under both names).

# Adds to COMPREPLY the pack sets that start with $1 (NAME for NAME.APAK,
# NAME.UPAK or NAME.ZPAK, extensions in upper or lower case) and the
# folders, which may hold them.
_spoolex_paknames()
{
    local file
    local -A seen=()
    while IFS= read -r file; do
        [[ $file =~ \.([AUZ]PAK|[auz]pak)$ ]] || continue
        file=${file%.*}
        [[ -n ${seen[$file]-} ]] && continue
        seen[$file]=1
        COMPREPLY+=("$file")
    done < <(compgen -f -- "$1")
    mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -d -- "$1")
    compopt -o filenames 2>/dev/null
}

_spoolpack()
{
    local cur prev words cword
    _init_completion || return

    if ((cword == 1)); then
        mapfile -t COMPREPLY < <(compgen -W 'create extract list verify mount help --help --version' -- "$cur")
        return
    fi
    local command=${words[1]} with_value='--jobs|-j|--store|--audio|--audio-for|--only|--exclude|--existing|--to-stdout|--cache|--cache-size|--max-ratio'
    # After "--" every word is an operand.
    local i ended=''
    for ((i = 2; i < cword; i++)); do
        [[ ${words[i]} == -- ]] && ended=1
    done
    [[ -n $ended ]] || case $prev in
        --audio) mapfile -t COMPREPLY < <(compgen -W 'keep pcm ogg aac vqf none' -- "$cur"); return ;;
        --existing) mapfile -t COMPREPLY < <(compgen -W 'overwrite keep fail' -- "$cur"); return ;;
        --cache) _filedir -d; return ;;
        --jobs | -j | --store | --audio-for | --only | --exclude | --to-stdout | --cache-size | --max-ratio) return ;;
    esac

    if [[ -z $ended && $cur == -* ]]; then
        local options='--help --version'
        case $command in
            create) options+=' --store --audio --audio-for --skip-unpackable --progress --no-progress --quiet --verbose --jobs' ;;
            extract) options+=' --only --exclude --existing --delete --dry-run --progress --no-progress --quiet --verbose --to-stdout --max-ratio --no-limit --jobs' ;;
            verify) options+=' --max-ratio --no-limit --quiet --jobs' ;;
            list) options+=' --json' ;;
            mount) options+=' --foreground --cache --cache-size' ;;
            help) options='' ;;
        esac
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
        return
    fi

    # Which argument this is, not counting options and their values (every
    # argument after "--" counts).
    local argument=0
    ended=''
    for ((i = 2; i < cword; i++)); do
        if [[ -n $ended || ${words[i]} != -* ]]; then
            ((argument++))
        elif [[ ${words[i]} == -- ]]; then
            ended=1
        elif [[ ${words[i]} == @($with_value) ]]; then
            ((i++))
        fi
    done
    case $command:$argument in
        create:0 | extract:0 | verify:0 | mount:0) _spoolex_paknames "$cur" ;;
        create:1 | extract:1 | mount:1) _filedir -d ;;
        list:0)
            # A pack file, or a set by its name.
            _filedir 'apak|upak|zpak'
            _spoolex_paknames "$cur"
            mapfile -t COMPREPLY < <(printf '%s\n' "${COMPREPLY[@]}" | sort -u)
            ;;
        help:0) mapfile -t COMPREPLY < <(compgen -W 'create extract list verify mount' -- "$cur") ;;
    esac
}
complete -F _spoolpack spoolpack

_spoolex()
{
    local cur prev words cword
    _init_completion || return
    case $cword in
        1) _spoolex_paknames "$cur" ;;
        2) _filedir -d ;;
        3) mapfile -t COMPREPLY < <(compgen -W 'delete' -- "$cur") ;;
    esac
}
complete -F _spoolex spoolex
