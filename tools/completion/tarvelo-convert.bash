# bash completion for tarvelo-convert
_tarvelo_convert() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  # --to=b: bash splits at '=' (COMP_WORDBREAKS) into "--to" "=" "b"; otherwise one word.
  if [[ "$cur" == "=" ]]; then
    cur=""
  elif [[ "$prev" == "=" ]]; then
    prev=${COMP_WORDS[COMP_CWORD-2]}
  elif [[ "$cur" == --to=* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "--to=tga --to=bmp" -- "$cur"); return
  fi
  case "$prev" in
    --to) mapfile -t COMPREPLY < <(compgen -W "tga bmp" -- "$cur"); return ;;
    -o|--output-dir) mapfile -t COMPREPLY < <(compgen -d -- "$cur"); return ;;
    --files-from) mapfile -t COMPREPLY < <(compgen -f -- "$cur"); return ;;
    -j|--jobs|--timeout|--max-pixels) return ;;
  esac
  if [[ "$cur" == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "--to -o --output-dir -r --recursive --parents --files-from -0 --null --skip-existing --update -n --dry-run -f --force -j --jobs --timeout --max-pixels -q --quiet -v --verbose -h --help --version" -- "$cur")
    return
  fi
  mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}
complete -o filenames -F _tarvelo_convert tarvelo-convert
