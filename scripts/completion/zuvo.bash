# Bash completion for zuvo: command names, each command's switches, and file
# names for operands and for switches that take a path. Installed as
# share/bash-completion/completions/zuvo, which bash-completion loads on
# demand; it needs nothing of bash-completion itself and can be sourced alone.

# The switches of each command, as its switch table has them.
_zuvo_switches() {
  case $1 in
    copy) echo "-b -d -f -n -p -q -t -w" ;;
    create_store) echo "-i -n -w -z" ;;
    prune) echo "-b -n -q -t" ;;
    verify) echo "-a -b -q -r -t" ;;
  esac
}

# What the value of a switch of a command is: "dir", "file" or "other" (a
# number); nothing when the switch takes no value.
_zuvo_value_kind() {
  case $1:$2 in
    copy:d) echo dir ;;
    copy:f) echo file ;;
    copy:t | prune:t | verify:t | create_store:[inw]) echo other ;;
  esac
}

# A command word as the program matches it: dashes and slashes in front
# dropped, without case, '-' the same as '_'.
_zuvo_command_name() {
  local word=$1
  while [[ $word == [-/]* ]]; do word=${word:1}; done
  word=${word,,}
  echo "${word//-/_}"
}

_zuvo() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local commands="copy create_store help info prune verify"
  COMPREPLY=()
  local first=1
  # "zuvo help copy", "zuvo -h copy": the word after a help word names a command.
  case ${COMP_WORDS[1]:-} in
    help | -h | -help | --help | -\? | /\? | /h | /help | \?) first=2 ;;
  esac
  if ((COMP_CWORD <= first)); then
    ((COMP_CWORD == first)) && mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
    return 0
  fi
  ((first == 2)) && return 0
  local command
  command=$(_zuvo_command_name "${COMP_WORDS[1]}")
  # Walk the words before the cursor: a switch that takes a value makes the
  # next word its value, whatever it looks like.
  local i kind= letter
  for ((i = 2; i < COMP_CWORD; i++)); do
    if [[ -n $kind ]]; then
      kind=
    elif [[ ${COMP_WORDS[i]} == [-/][A-Za-z] ]]; then
      letter=${COMP_WORDS[i]:1}
      kind=$(_zuvo_value_kind "$command" "${letter,,}")
    fi
  done
  case $kind in
    dir)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      return 0
      ;;
    file)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return 0
      ;;
    other) return 0 ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$(_zuvo_switches "$command")" -- "$cur")
    return 0
  fi
  # Operands: a store folder for prune and create_store, any file elsewhere.
  compopt -o filenames 2>/dev/null
  case $command in
    prune | create_store) mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
    *) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
  esac
  return 0
}

complete -F _zuvo zuvo
