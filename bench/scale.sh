#!/usr/bin/env bash
# Measures prune and verify on a store of many small chunk files: a store with
# 4 KiB chunks holding two maps of random data (CHUNKS chunk files in all), one
# map deleted, so that prune deletes half the dictionary. The store lives in a
# fresh ext4 file system made with mkfs defaults on a loop image (a file
# system's state after a mass deletion makes later runs slow, and the host's
# own disk may not be one), built once and copied back before every timed
# round. Each round times `prune -n`, `prune` and `verify` in turn, with the
# page cache written back before each, and records peak resident memory.
# Several binaries given in ZUVO are compared in the same rounds on the same
# image. Needs root (mount) and about CHUNKS x 9 KiB free under TMPDIR.
# usage: bench/scale.sh [CHUNKS] [RUNS]   (defaults 1048576 and 3)
#        ZUVO="old/zuvo new/zuvo" bench/scale.sh ...   (no build; compare binaries)
#        IMAGE=file bench/scale.sh ...   (the built image kept in, or taken from, file)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
chunks=${1:-1048576}
runs=${2:-3}
[ "$(id -u)" -eq 0 ] || { echo "needs root to mount the loop image" >&2; exit 1; }
bash "$root/scripts/deps.sh" time e2fsprogs
if [ -n "${ZUVO:-}" ]; then
  read -r -a binaries <<<"$ZUVO"
else
  bash "$root/scripts/build.sh" build-bench -DCMAKE_BUILD_TYPE=Release -DZUVO_TESTS=OFF
  binaries=("$root/build-bench/zuvo")
fi
work=$(mktemp -d "${TMPDIR:-/var/tmp}/zuvo_scale_bench.XXXXXX")
mnt=$work/mnt
mkdir "$mnt"
cleanup() {
  mountpoint -q "$mnt" && umount "$mnt"
  rm -rf "$work"
}
trap cleanup EXIT

# mkfs gives one inode per 16 KiB: size the image for the chunk files' inodes.
image=$work/fs.img
pristine=${IMAGE:-$work/pristine.img}
if [ -s "$pristine" ]; then
  echo "store image taken from $pristine"
else
  truncate -s $((chunks * 20 * 1024 + (1 << 30))) "$image"
  mkfs.ext4 -q -F "$image"
  mount -o loop "$image" "$mnt"
  zuvo=${binaries[0]}
  "$zuvo" create_store -i 4096 "$mnt/s" >/dev/null
  map_bytes=$((chunks * 4096 / 2))
  for name in a b; do
    head -c "$map_bytes" /dev/urandom >"$work/data.bin"
    "$zuvo" copy "$work/data.bin" "$mnt/s/$name.bin" >/dev/null
    rm "$work/data.bin"
  done
  rm "$mnt/s/a.bin"
  umount "$mnt"
  cp --sparse=always "$image" "$pristine"
fi

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
declare -A secs peak
timed() {  # key command...
  local key=$1 e kb; shift
  sync
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >"$work/out" 2>&1 || { cat "$work/out" >&2; exit 1; }
  read -r e kb <"$work/time"
  secs[$key]+="$e "
  [ "${peak[$key]:-0}" -ge "$kb" ] || peak[$key]=$kb
}
for ((r = 1; r <= runs; r++)); do
  for i in "${!binaries[@]}"; do
    z=${binaries[$i]}
    cp --sparse=always "$pristine" "$image"
    mount -o loop "$image" "$mnt"
    timed "$i:prune -n" "$z" prune -n "$mnt/s"
    timed "$i:prune" "$z" prune "$mnt/s"
    grep -q "chunk files removed: $((chunks / 2)) " "$work/out" || { cat "$work/out" >&2; exit 1; }
    timed "$i:verify" "$z" verify "$mnt/s"
    umount "$mnt"
  done
done

echo "zuvo prune and verify, $chunks chunk files of 4 KiB, half deleted; median of $runs runs ($(nproc) cores, ext4 on a loop image in $(df -PT "$work" | awk 'NR == 2 {print $2}'))"
printf '%-8s %-10s %9s %9s  %s\n' binary command seconds "peak MiB" "every run"
for i in "${!binaries[@]}"; do
  for cmd in "prune -n" prune verify; do
    kb=${peak[$i:$cmd]}
    # shellcheck disable=SC2086  # a list of numbers, split on purpose
    printf '%-8s %-10s %9s %9s  %s\n' "$i" "$cmd" "$(printf '%s\n' ${secs[$i:$cmd]} | median)" \
      "$((kb / 1024))" "${secs[$i:$cmd]}"
  done
done
for i in "${!binaries[@]}"; do echo "binary $i: ${binaries[$i]}"; done
