# bash completion for coreservicectl.
# Commands and options are read from the tool's own --help output, so they never fall behind it.

_coreservicectl_commands() {
  "$1" --help 2>/dev/null |
    awk '/^commands:$/ { on = 1; next } /^$/ { on = 0 } on && /^  [a-z]/ { print $1 }'
}

# Prints each option of a command, "--name" and "-x", one a line, followed by " 1" when it takes
# a value and " 0" when it does not.
_coreservicectl_options() {
  "$1" "$2" --help 2>/dev/null | awk '
    /^options:$/ { on = 1; next }
    on && /^ +-/ {
      value = ($0 ~ /^ +(-., )?--[a-z-]+=/) ? 1 : 0
      for (i = 1; i <= NF; i++) {
        word = $i; sub(/,$/, "", word); sub(/=.*/, "", word)
        if (word !~ /^-/) break
        print word, value
      }
    }'
}

# The notification categories notify accepts, from its --help ("Categories: a, b, c.").
_coreservicectl_categories() {
  "$1" notify --help 2>/dev/null | sed -n 's/^Categories: //p' | tr -d ',.'
}

_coreservicectl() {
  local tool=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]} prev=""
  local i command="" operands=()
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  # "--dir=DIR" arrives as "--dir" "=" "DIR" with the default COMP_WORDBREAKS.
  if [[ $cur == "=" ]]; then
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    cur=""
  elif [[ $prev == "=" ]]; then
    prev=${COMP_WORDS[COMP_CWORD - 2]}
  fi

  local start
  for ((start = 1; start < COMP_CWORD; start++)); do
    [[ ${COMP_WORDS[start]} != -* ]] && { command=${COMP_WORDS[start]}; break; }
  done

  COMPREPLY=()
  if [[ -z $command ]]; then
    if [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W "--help --version" -- "$cur"))
    else
      COMPREPLY=($(compgen -W "help $(_coreservicectl_commands "$tool")" -- "$cur"))
    fi
    return
  fi
  if [[ $command == help ]]; then
    ((COMP_CWORD == start + 1)) && COMPREPLY=($(compgen -W "$(_coreservicectl_commands "$tool")" -- "$cur"))
    return
  fi

  local options names valued
  options=$(_coreservicectl_options "$tool" "$command")
  names=$(awk '{ print $1 }' <<<"$options")
  valued=$(awk '$2 == 1 { print $1 }' <<<"$options")
  for ((i = start + 1; i < COMP_CWORD; i++)); do
    local word=${COMP_WORDS[i]}
    if [[ $word == "=" ]]; then
      ((i++))  # "--name" "=" "value"
    elif [[ $word == -* ]]; then
      # A value-taking option written apart from its value takes the next word too.
      grep -qxF -- "$word" <<<"$valued" && [[ ${COMP_WORDS[i + 1]} != "=" ]] && ((i++))
    else
      operands+=("$word")
    fi
  done
  # The word after an option that takes a value is that value: directories for --dir, files for
  # codesign's keys, certificates and anchors, categories for notify, nothing for the others.
  if [[ $prev == -* ]] && grep -qxF -- "$prev" <<<"$valued"; then
    if [[ $prev == --dir || $prev == -d ]]; then
      COMPREPLY=($(compgen -d -- "$cur"))
    elif [[ $command == notify ]]; then
      COMPREPLY=($(compgen -W "$(_coreservicectl_categories "$tool")" -- "$cur"))
    elif [[ $command == codesign ]]; then
      COMPREPLY=($(compgen -f -- "$cur"))
    fi
    return
  fi
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$names" -- "$cur"))
    return
  fi
  if [[ $command == defaults ]]; then
    case ${#operands[@]} in
      0) COMPREPLY=($(compgen -W "read write delete watch" -- "$cur")) ;;
      3) [[ ${operands[0]} == write ]] &&
           COMPREPLY=($(compgen -W "bool int uint double string date data map datalist" -- "$cur")) ;;
    esac
  elif [[ $command == codesign ]]; then
    case ${#operands[@]} in
      0) COMPREPLY=($(compgen -W "sign verify" -- "$cur")) ;;
      1) COMPREPLY=($(compgen -f -- "$cur")) ;;
    esac
  elif [[ $command == notify ]]; then
    # Every operand after --clear is a category; a title and a body are free text.
    local word
    for word in "${COMP_WORDS[@]:start+1:COMP_CWORD-start-1}"; do
      [[ $word == --clear ]] && COMPREPLY=($(compgen -W "$(_coreservicectl_categories "$tool")" -- "$cur"))
    done
  fi
}

complete -F _coreservicectl coreservicectl
