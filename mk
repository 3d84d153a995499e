#!/bin/sh
# ./mk [TARGET ...]: make TARGET on a Debian machine that may have nothing
# yet. Installs make, the compiler and the libraries the build needs when
# any is missing (as root, or through sudo), then hands over to make.
#
# ./mk --install PACKAGE ...: only install whichever of those is missing;
# the Makefile installs the tools of its other targets through this.
set -eu
cd "$(dirname "$0")"

# The build's packages: the Makefile's one list.
build_packages() {
  sed -n 's/^PACKAGES := //p' Makefile
}

install_missing() {
  missing=""
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q 'ok installed' || missing="$missing $package"
  done
  [ -n "$missing" ] || return 0
  if [ "$(id -u)" = 0 ]; then
    as_root=""
  elif command -v sudo >/dev/null 2>&1 &&
    { sudo -n true 2>/dev/null || [ -t 0 ]; }; then
    as_root="sudo"
  else
    echo "jpegfade: missing Debian packages; as root, run:" \
      "apt-get update && apt-get install -y$missing" >&2
    exit 1
  fi
  echo "installing:$missing"
  # A package of another architecture (libgd-dev:arm64) needs that
  # architecture known to dpkg first.
  for package in $missing; do
    case "$package" in
      *:*) arch="${package#*:}"
        dpkg --print-foreign-architectures | grep -qx "$arch" ||
          $as_root dpkg --add-architecture "$arch" ;;
    esac
  done
  $as_root apt-get update
  $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
}

if [ "${1-}" = --install ]; then
  shift
  install_missing "$@"
  exit 0
fi
install_missing $(build_packages)
exec make "$@"
