#!/usr/bin/env bash
# Puts zuvo beside two deduplicating backup tools, borg and casync, on the same
# "mixed" data as bench/copy.sh, in the same run: ingest into a new store,
# restore to a new file, incremental ingest of a slightly changed copy into the
# same store, and the store's size on disk. Every time ends with a sync, so that
# each tool has put its data on disk, as a copy into a zuvo store always does.
# usage: bench/peers.sh [SIZE_MB] [RUNS]   (defaults 256 and 3)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size_mb=${1:-256}
runs=${2:-3}
bash "$root/scripts/deps.sh" time borgbackup casync
bash "$root/scripts/build.sh" build-bench -DCMAKE_BUILD_TYPE=Release -DZUVO_BENCH=ON -DZUVO_TESTS=OFF
zuvo=$root/build-bench/zuvo
work=$(mktemp -d "${TMPDIR:-/tmp}/zuvo_peers_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
bytes=$((size_mb * 1024 * 1024))

# Unencrypted repositories, no prompts, and borg's caches kept in the work folder.
export BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK=yes BORG_RELOCATED_REPO_ACCESS_IS_OK=yes
export BORG_BASE_DIR=$work/borg-home BORG_PASSPHRASE=

bash "$root/bench/copy.sh" --make mixed "$bytes" data.bin
# The changed copy differs in 8 bytes at each of 5 places spread over the file.
cp data.bin changed.bin
python3 - "$bytes" changed.bin <<'PY'
import os, sys
size = int(sys.argv[1])
with open(sys.argv[2], "r+b") as f:
    for i in range(5):
        f.seek((2 * i + 1) * size // 10 + 12345)
        f.write(os.urandom(8))
PY
cat data.bin changed.bin >/dev/null

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
declare -A res
add() { res[$1]+="$2 "; }
timed() {  # key command...
  local key=$1 s e; shift
  sync
  s=$(date +%s%N)
  "$@" >/dev/null 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
  sync
  e=$(date +%s%N)
  add "$key" "$(awk -v b="$bytes" -v ns=$((e - s)) 'BEGIN {printf "%.1f", b * 1000 / ns}')"
}
du_b() { du -sb "$@" | awk '{n += $1} END {print n}'; }

# Every run writes to fresh names, and nothing is deleted until the end:
# deleting many files slows ext4 down when it next creates files.
for ((r = 1; r <= runs; r++)); do
  "$zuvo" create_store "zs$r" >/dev/null
  timed zuvo:ingest "$zuvo" copy data.bin "zs$r"
  size=$(du_b "zs$r")
  timed zuvo:restore "$zuvo" copy "zs$r/data.bin" "zo$r"
  timed zuvo:incr "$zuvo" copy changed.bin "zs$r"
  add zuvo:size "$size"; add zuvo:added $(($(du_b "zs$r") - size))

  for comp in none lz4; do
    repo=b$comp$r
    borg init -e none "$repo" >/dev/null 2>&1
    timed "borg-$comp:ingest" borg create --compression "$comp" "$repo::first" data.bin
    size=$(du_b "$repo")
    mkdir "o$repo"
    timed "borg-$comp:restore" env -C "o$repo" borg extract "../$repo::first"
    timed "borg-$comp:incr" borg create --compression "$comp" "$repo::second" changed.bin
    add "borg-$comp:size" "$size"; add "borg-$comp:added" $(($(du_b "$repo") - size))
  done

  # casync has no uncompressed chunk store: its chunks are zstd files. The
  # index goes in the same folder, so that the size counts it as zuvo's does.
  mkdir "cs$r"
  timed casync:ingest casync make --store="cs$r/store" "cs$r/first.caibx" data.bin
  size=$(du_b "cs$r")
  timed casync:restore casync extract --store="cs$r/store" "cs$r/first.caibx" "co$r"
  timed casync:incr casync make --store="cs$r/store" "cs$r/second.caibx" changed.bin
  add casync:size "$size"; add casync:added $(($(du_b "cs$r") - size))
  for out in "zo$r" "obnone$r/data.bin" "oblz4$r/data.bin" "co$r"; do
    cmp -s data.bin "$out" || { echo "$out differs from the data" >&2; exit 1; }
  done
done

# shellcheck disable=SC2086  # a list of numbers, split on purpose
med() { printf '%s\n' ${res[$1]} | median; }
echo
echo "mixed data, ${size_mb} MiB ($bytes bytes), median of $runs runs ($(nproc) cores," \
  "$(df -PT "$work" | awk 'NR == 2 {print $2}') at $work); MB/s = data size / seconds"
printf '%-12s %10s %10s %13s %14s %7s %14s\n' tool ingest restore "incr. ingest" "store bytes" "/ data" "incr. adds"
for tool in zuvo borg-none borg-lz4 casync; do
  size=$(med "$tool:size")
  printf '%-12s %10s %10s %13s %14s %7.3f %14s\n' "$tool" "$(med "$tool:ingest")" "$(med "$tool:restore")" \
    "$(med "$tool:incr")" "$size" "$(awk -v s="$size" -v b="$bytes" 'BEGIN {print s / b}')" "$(med "$tool:added")"
done
echo "zuvo: fixed 256 KiB chunks, raw store; borg $(borg --version | awk '{print $2}'): -e none," \
  "default chunker; casync $(casync --version | awk '{print $2}'): default chunk size and zstd chunks"
