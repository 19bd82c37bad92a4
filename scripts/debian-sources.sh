# Sourced by the scripts that build from Debian's source packages: a private apt
# for bookworm's sources, its lists, state and downloads in "$cache/apt", so the
# system's apt configuration is left alone. Defines apt_options (for apt-get and
# apt-cache) and source_version PACKAGE (the newest version in the private index,
# empty before its first update).
apt_dir=$cache/apt
mkdir -p "$apt_dir/state/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/etc"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(bash scripts/debian-mirror.sh) bookworm main" \
  >"$apt_dir/etc/sources.list"
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/etc/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o "Dir::State=$apt_dir/state" -o "Dir::Cache=$apt_dir/cache" -o Debug::NoLocking=1
             -o APT::Sandbox::User=root)
source_version() {
  apt-cache "${apt_options[@]}" showsrc --only-source "$1" 2>/dev/null |
    sed -n 's/^Version: //p' | sort -V | tail -n 1
}
# Removes a source build's work directory `$2`; when the script is failing (status
# `$1`), first prints the end of the configure and CMake logs in it, which say why
# a configure step failed and would go with the directory.
remove_work() {
  if [ "$1" -ne 0 ]; then
    find "$2" \( -name config.log -o -name CMakeError.log \) -printf '%T@ %p\n' 2>/dev/null | sort -n |
      tail -n 2 | while read -r _ file; do
        printf '\n--- the end of %s\n' "$file" >&2
        tail -n 40 "$file" >&2
      done
  fi
  rm -rf "$2"
}
