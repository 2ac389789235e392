#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing,
# and any further packages named as arguments.
# usage: scripts/deps.sh [package...]
set -euo pipefail
pkgs=(cmake ninja-build g++ zlib1g-dev libgtest-dev libgmock-dev libbenchmark-dev python3 "$@")
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
