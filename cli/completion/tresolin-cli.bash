# Bash completion for tresolin-cli. Source this file, or install it as
# /usr/share/bash-completion/completions/tresolin-cli.

_tresolin_cli() {
  local cur prev command word
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}

  # The command is the first word that is no option (nor an option's value).
  command=
  local i
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    case $word in
      --cipher|--password-file|--output) ((i++)) ;;
      -*) ;;
      *) command=$word; break ;;
    esac
  done

  case $prev in
    --cipher)
      COMPREPLY=($(compgen -W 'aes rc4' -- "$cur"))
      return
      ;;
    --password-file|--output)
      COMPREPLY=($(compgen -f -- "$cur"))
      return
      ;;
  esac

  if [[ -z $command ]]; then
    COMPREPLY=($(compgen -W 'encrypt encrypt-folder decrypt verify info --help --version' -- "$cur"))
    return
  fi

  local options='--password-file --quiet'
  case $command in
    encrypt) options+=' --cipher --pack --replace --output' ;;
    encrypt-folder) options+=' --cipher --pack --force' ;;
    decrypt) options+=' --force' ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  elif [[ $command == encrypt-folder ]]; then
    COMPREPLY=($(compgen -d -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}

complete -o filenames -F _tresolin_cli tresolin-cli
