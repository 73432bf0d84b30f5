#!/usr/bin/env bash
# Installs, through apt-get, those of the named Debian packages that are
# missing; does nothing (and needs no network) when all are there.
set -euo pipefail
missing=()
for package in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing missing packages: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Run as root, or install them first: apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails one list and keeps the others: what is
# wanted may still be installable from them, and apt-get says if not.
apt-get update -q || echo "Some package lists could not be fetched; installing from those that were" >&2
apt-get install -y -q "${missing[@]}"
