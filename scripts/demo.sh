#!/usr/bin/env bash
# Installs what is missing, builds the tool and shows it at work on a generated
# example in a temporary folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
bash "$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo
zuvo="$root/build/zuvo"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
show() { echo "\$ zuvo $*"; "$zuvo" "$@"; echo; }
show
show create_store -z -i 65536 backups
show info backups
mkdir -p backups/images
show info backups/images/disk.img
