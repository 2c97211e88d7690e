# bash completion for velprobe
_velprobe() {
  local cur prev words cword
  _init_completion 2>/dev/null || {
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  }
  local commands="ports info read watch set-frequency set-filter set-auto-off serve"
  local options="--port --model --timeout --json --csv --help --version"

  case $prev in
    -p|--port)
      # Only ports that exist: what 'velprobe ports' lists (device and by-id
      # name, no probing), and typed paths outside /dev that lead to a device,
      # such as a simulated probe's link.
      local IFS=$'\n' f devices
      devices=$("${words[0]}" ports --csv 2>/dev/null | awk -F, 'NR > 1 { print $1; if ($NF != "") print $NF }')
      COMPREPLY=($(compgen -W "auto"$'\n'"$devices" -- "$cur"))
      if [[ $cur == [/.~]* && $cur != /dev* ]]; then
        for f in $(compgen -f -- "$cur"); do
          [[ -c $f || -d $f ]] && COMPREPLY+=("$f")
        done
      fi
      return ;;
    -m|--model) COMPREPLY=($(compgen -W "KV21" -- "$cur")); return ;;
    -t|--timeout|-i|--interval|-n|--count|-l|--listen|-k|--keep|--allow-host|set-frequency|set-auto-off) return ;;
    set-filter) COMPREPLY=($(compgen -W "0 1 2 3 4 5 6 7" -- "$cur")); return ;;
  esac

  local w command=
  for w in "${words[@]:1:cword-1}"; do
    [[ " $commands " == *" $w "* ]] && command=$w
  done
  case $command in
    watch) options+=" --interval --count --stop-on-error" ;;
    ports) options+=" --probe" ;;
    serve) options+=" --listen --interval --keep --allow-host" ;;
  esac
  if [[ $cur == -* || -n $command ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  else
    COMPREPLY=($(compgen -W "$commands $options" -- "$cur"))
  fi
}
complete -F _velprobe velprobe
