#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing,
# and any further packages named as arguments. --no-recommends leaves out the
# recommended packages (Wine's recommendations are large and unneeded here).
# usage: scripts/deps.sh [--no-recommends] [package...]
set -euo pipefail
options=()
if [ "${1:-}" = --no-recommends ]; then options=(--no-install-recommends); shift; fi
pkgs=(cmake ninja-build g++ zlib1g-dev libdeflate-dev libgtest-dev libgmock-dev libbenchmark-dev python3 "$@")
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
fi
