#!/usr/bin/env bash
# Store sizes of a compressing store with every chunk deflated and with the
# chunks that the saving estimate stops left raw, on the copy benchmark's data
# sets and on real files: Debian package archives, an ISO image and an ext4
# image of system folders. The skip may cost at most 0.1% of store size.
# usage: bench/deflate_skip.sh [CHUNK_SIZE]   (default 262144)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
k=${1:-262144}
bash "$root/scripts/deps.sh" xorriso e2fsprogs
bash "$root/scripts/build.sh" build-bench -DCMAKE_BUILD_TYPE=Release -DZUVO_BENCH=ON -DZUVO_TESTS=OFF
tool=$root/build-bench/bench/deflate_skip_bench
work=$(mktemp -d "${TMPDIR:-/tmp}/zuvo_skip_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

bash "$root/bench/copy.sh" --make random 536870912 random.bin
bash "$root/bench/copy.sh" --make mixed 536870912 mixed.bin
# Package archives: those in apt's cache, or a few large ones fetched.
mapfile -t debs < <(ls -S /var/cache/apt/archives/*.deb 2>/dev/null | head -400)
if [ ${#debs[@]} -lt 20 ]; then
  (cd "$work" && apt-get download -qq gcc-12 cpp-12 libllvm15 libstdc++-12-dev python3.11 >/dev/null)
  debs=("$work"/*.deb)
fi
xorriso -as mkisofs -quiet -R -graft-points -o usr.iso bin=/usr/bin doc=/usr/share/doc \
  py=/usr/lib/python3 man=/usr/share/man include=/usr/include
# A file system image of a real system's files, unmounted: mke2fs copies a
# folder in. Hard links make the folder without copying (same file system).
mkdir tree
for d in /usr/bin /usr/lib/gcc /usr/share/locale /usr/share/doc; do
  cp -al "$d" tree/ 2>/dev/null || cp -a "$d" tree/
done
cp -a /etc tree/ 2>/dev/null || true
mke2fs -q -t ext4 -d tree ext4.img 1600M

"$tool" "$k" random random.bin
"$tool" "$k" mixed mixed.bin
"$tool" "$k" debs "${debs[@]}"
"$tool" "$k" iso usr.iso
"$tool" "$k" ext4 ext4.img
