#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are not
# installed yet (apt-get update once, then apt-get install). Run as root.
#   scripts/debian_packages.sh PACKAGE...
set -euo pipefail
missing=()
for package in "$@"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=300 update -qq
  apt-get -o DPkg::Lock::Timeout=300 install -y -qq "${missing[@]}" >/dev/null
fi
