# Bash completion for ostrel: commands, their options, the values those take,
# and the positions of the personal store where a position is asked for.
# It stands on bash alone (the bash-completion package is welcome, not needed).

# The subcommands of each command (the key "ostrel" is the program itself).
declare -gA _ostrel_commands=(
    [ostrel]="sign store verify subject serial choose typelib draw about properties state register unregister call info bridge"
    [store]="list import tokens remove new-test-cert"
    [state]="save load"
    [bridge]="install uninstall status origins"
    ["bridge origins"]="list allow revoke"
)

# The options of each command (--help goes with every one).
declare -gA _ostrel_options=(
    [ostrel]="--version"
    [sign]="--index --in --out --digest --padding --format --tsa --attached"
    ["store list"]="--json"
    ["store import"]="--password-file"
    ["store tokens"]="--json"
    ["store new-test-cert"]="--subject --issuer-subject --not-before --not-after --serial --no-key --key --bits"
    [verify]="--in --exact --signature --content --json"
    [subject]="--in --exact"
    [serial]="--in --exact"
    [draw]="--width --height --out"
    [properties]="--list --verb"
    [register]="--repair"
    [call]="--json --progid --clsid"
    [info]="--json"
    ["bridge install"]="--browser --system --extension-id --chromium-user-data-dir"
    ["bridge uninstall"]="--browser --system --extension-id --chromium-user-data-dir"
    ["bridge status"]="--browser --chromium-user-data-dir"
    ["bridge origins"]="--json"
    ["bridge origins list"]="--json"
    ["bridge origins allow"]="--without-prompt"
)

# Options followed by a value, and what that value is.
declare -gA _ostrel_values=(
    [--index]=position [--in]=file [--out]=file [--password-file]=file
    [--signature]=file [--content]=file [--chromium-user-data-dir]=folder
    [--browser]=browser [--progid]=progid [--subject]=text [--issuer-subject]=text
    [--not-before]=text [--not-after]=text [--serial]=text [--key]=keykind [--bits]=text
    [--width]=text [--height]=text [--verb]=text [--clsid]=text [--extension-id]=text
    [--digest]=digest [--padding]=padding [--format]=format [--tsa]=text
)

# What a command's arguments are.
declare -gA _ostrel_arguments=(
    ["store remove"]=position ["store import"]=file [typelib]=file
    ["state save"]=file ["state load"]=file [register]=file [unregister]=file
    [info]=file [call]=method
)

# The positions of the personal store, as `ostrel store list --json` gives them.
_ostrel_positions() {
    "$1" store list --json 2>/dev/null |
        sed -n 's/^ *"position": *\([0-9][0-9]*\),\{0,1\} *$/\1/p'
}

_ostrel_offer() {
    local kind=$1 cur=$2 program=$3
    case $kind in
        position) mapfile -t COMPREPLY < <(compgen -W "$(_ostrel_positions "$program")" -- "$cur") ;;
        file) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
        folder) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
        browser) mapfile -t COMPREPLY < <(compgen -W "chromium chrome firefox all" -- "$cur") ;;
        keykind) mapfile -t COMPREPLY < <(compgen -W "rsa ec-p256 ec-p384 ec-p521" -- "$cur") ;;
        progid) mapfile -t COMPREPLY < <(compgen -W "OSTREL.OstrelCtrl.1 OSTREL.Signer.1" -- "$cur") ;;
        digest) mapfile -t COMPREPLY < <(compgen -W "SHA-256 SHA-384 SHA-512" -- "$cur") ;;
        padding) mapfile -t COMPREPLY < <(compgen -W "PKCS1 PSS" -- "$cur") ;;
        format) mapfile -t COMPREPLY < <(compgen -W "CMS CAdES-B CAdES-T" -- "$cur") ;;
        method)
            mapfile -t COMPREPLY < <(compgen -W "SignMessage SignMessageNoPrompt ChooseCertificate
                VerifyMessage GetSubjectName GetSerialNumber" -- "$cur")
            ;;
        signer-method) mapfile -t COMPREPLY < <(compgen -W "Sign ChooseCertificate" -- "$cur") ;;
        *) COMPREPLY=() ;;
    esac
}

_ostrel() {
    local cur=${COMP_WORDS[COMP_CWORD]} program=${COMP_WORDS[0]}
    local path=ostrel word i arguments=0
    COMPREPLY=()
    # The command path so far, the options' values and the arguments given.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == -* ]]; then
            [[ -n ${_ostrel_values[$word]:-} ]] && ((i++))
            continue
        fi
        if ((arguments == 0)) && [[ " ${_ostrel_commands[$path]:-} " == *" $word "* ]]; then
            if [[ $path == ostrel ]]; then path=$word; else path+=" $word"; fi
        else
            ((arguments++))
        fi
    done

    local previous=${COMP_WORDS[COMP_CWORD - 1]}
    if ((COMP_CWORD > 1)) && [[ $previous == -* && -n ${_ostrel_values[$previous]:-} ]]; then
        _ostrel_offer "${_ostrel_values[$previous]}" "$cur" "$program"
        return 0
    fi
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${_ostrel_options[$path]:-} --help" -- "$cur")
        return 0
    fi
    if ((arguments == 0)) && [[ -n ${_ostrel_commands[$path]:-} ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${_ostrel_commands[$path]}" -- "$cur")
        return 0
    fi
    # `call SignMessageNoPrompt TEXT POSITION`: the second argument is a position.
    if [[ $path == call ]] && ((arguments == 2)); then
        local k method=""
        for ((k = 1; k < COMP_CWORD; k++)); do
            word=${COMP_WORDS[k]}
            if [[ $word == -* ]]; then
                [[ -n ${_ostrel_values[$word]:-} ]] && ((k++))
            elif [[ $word != call ]]; then
                method=$word
                break
            fi
        done
        [[ $method == SignMessageNoPrompt ]] && _ostrel_offer position "$cur" "$program"
        return 0
    fi
    if ((arguments == 0)) && [[ -n ${_ostrel_arguments[$path]:-} ]]; then
        local kind=${_ostrel_arguments[$path]}
        # The signer's methods after `call --progid OSTREL.Signer.1`.
        if [[ $path == call && " ${COMP_WORDS[*]} " == *" OSTREL.Signer"* ]]; then
            kind=signer-method
        fi
        _ostrel_offer "$kind" "$cur" "$program"
    fi
    return 0
}

complete -F _ostrel ostrel
