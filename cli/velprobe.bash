# bash completion for velprobe
_velprobe() {
  local cur prev words cword
  _init_completion 2>/dev/null || {
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  }
  local commands="info read watch set-frequency set-filter set-auto-off"
  local options="--port --model --timeout --json --csv --help --version"

  case $prev in
    -p|--port)
      local ports=(/dev/ttyUSB* /dev/ttyACM* /dev/ttyS* /dev/serial/by-id/* /dev/pts/[0-9]*)
      COMPREPLY=($(compgen -W "${ports[*]}" -- "$cur"))
      [[ ${#COMPREPLY[@]} -eq 0 ]] && COMPREPLY=($(compgen -f -- "$cur"))
      return ;;
    -m|--model) COMPREPLY=($(compgen -W "KV21" -- "$cur")); return ;;
    -t|--timeout|-i|--interval|-n|--count|set-frequency|set-auto-off) return ;;
    set-filter) COMPREPLY=($(compgen -W "0 1 2 3 4 5 6 7" -- "$cur")); return ;;
  esac

  local w command=
  for w in "${words[@]:1:cword-1}"; do
    [[ " $commands " == *" $w "* ]] && command=$w
  done
  [[ $command == watch ]] && options+=" --interval --count"
  if [[ $cur == -* || -n $command ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  else
    COMPREPLY=($(compgen -W "$commands $options" -- "$cur"))
  fi
}
complete -F _velprobe velprobe
