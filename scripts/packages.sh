# Debian package helpers for the set-up scripts; sourced, not run.
#
#   as_root CMD...                 runs CMD as root (through sudo when needed)
#   install_packages WHO PKG...    installs the packages not installed yet,
#                                  saying so as "WHO: installing ..."
#   enable_source_packages         adds the deb-src entries apt-get source
#                                  needs, once

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

install_packages() {
  local who=$1 p
  shift
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "$who: installing ${missing[*]}"
    as_root apt-get update
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}

enable_source_packages() {
  if ! grep -qs 'deb-src' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null; then
    sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      as_root tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
    as_root apt-get update
  fi
}
