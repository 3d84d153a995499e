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
  added=""
  for package in $missing; do
    case "$package" in
      *:*) arch="${package#*:}"
        if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
          $as_root dpkg --add-architecture "$arch"
          added="$added $arch"
        fi ;;
    esac
  done
  # A mirror caught mid-sync can serve an index that fails to download
  # (often another architecture's); the lists at hand are then used, and the
  # install below fails only where what the build needs is not in them.
  if ! $as_root apt-get update; then
    echo "jpegfade: apt-get update failed for some index; installing from" \
      "the package lists at hand" >&2
  fi
  if ! $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
  then
    # An architecture added for these packages alone goes again, so that
    # every later update does not fetch, and fail on, its indexes.
    for arch in $added; do
      $as_root dpkg --remove-architecture "$arch" || true
    done
    exit 1
  fi
}

if [ "${1-}" = --install ]; then
  shift
  install_missing "$@"
  exit 0
fi
install_missing $(build_packages)
exec make "$@"
