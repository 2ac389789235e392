#!/usr/bin/env bash
# Installs what is missing, builds the tool and runs a round trip on generated
# data in a temporary folder: a disk-image-like file with repeated chunks goes
# into a compressed store and back out, and the result is compared.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
# Only the executable: the tests are built by the test command.
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target zuvo
zuvo="$root/build/zuvo"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
show() { echo "\$ zuvo $*"; "$zuvo" "$@"; echo; }
# 64 MiB: 16 MiB of random data, then the same 16 MiB again, then 32 MiB of zeros.
head -c $((16 * 1024 * 1024)) /dev/urandom >part
cat part part >disk.img
head -c $((32 * 1024 * 1024)) /dev/zero >>disk.img
rm part
show create_store -z backups
show copy disk.img backups
show info backups/disk.img
show copy backups/disk.img restored.img
cmp disk.img restored.img && echo "restored.img is identical to disk.img"
echo "chunk files in the store: $(find backups/.zuvo -type f ! -name _info | wc -l) for $(( $(stat -c %s disk.img) / 262144 )) chunks"
show copy backups/disk.img restored.img
