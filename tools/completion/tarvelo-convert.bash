# bash completion for tarvelo-convert
_tarvelo_convert() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  case "$prev" in
    --to) mapfile -t COMPREPLY < <(compgen -W "tga bmp" -- "$cur"); return ;;
    -o|--output-dir) mapfile -t COMPREPLY < <(compgen -d -- "$cur"); return ;;
    --files-from) mapfile -t COMPREPLY < <(compgen -f -- "$cur"); return ;;
    -j|--jobs|--timeout|--max-pixels) return ;;
  esac
  if [[ "$cur" == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "--to -o --output-dir --files-from -0 --null --skip-existing -j --jobs --timeout --max-pixels -q --quiet -v --verbose -h --help --version" -- "$cur")
    return
  fi
  mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}
complete -o filenames -F _tarvelo_convert tarvelo-convert
