#!/usr/bin/env bash
# Measures zuvo on a store on a network file system: a GlusterFS volume set up
# as the file-system leg does (scripts/fs_gluster.sh: replicated over two
# bricks on XFS images, mounted twice through FUSE), against dd with O_DIRECT
# on the same mount. Cases: ingest into a new store, re-ingest (every chunk
# already stored), restore to a local file, verify, and two clients ingesting
# different files at once, one through each mount. Beside dd, the floor of any
# store that keeps a file per chunk (bench/file_per_chunk.py): a create, write
# and close, or an open, read and close, per chunk and nothing else. Every
# figure is the median of several rounds; each round takes every case in turn.
# usage: bench/shared-fs.sh [SIZE_MB] [RUNS] [CHUNK]   (defaults 64, 3 and
#        the store's default chunk size, 262144; CHUNK goes to create_store -i)
#        ZUVO=PATH uses that executable instead of building build-bench.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size_mb=${1:-64}
runs=${2:-3}
k=${3:-262144}
# shellcheck source=../scripts/fs_gluster.sh
source "$root/scripts/fs_gluster.sh"
bash "$root/scripts/deps.sh" glusterfs-server glusterfs-client xfsprogs strace
if [ -z "${ZUVO:-}" ]; then
  bash "$root/scripts/build.sh" build-bench -DCMAKE_BUILD_TYPE=Release -DZUVO_BENCH=ON -DZUVO_TESTS=OFF
fi
zuvo=$(realpath "${ZUVO:-$root/build-bench/zuvo}")
local_dir=$(mktemp -d "${TMPDIR:-/tmp}/zuvo_shared_bench.XXXXXX")
cleanup() { gluster_stop; rm -rf "$local_dir"; }
trap cleanup EXIT
# Room for a store, dd's file and the two clients' files at once, twice over.
brick_mb=$((size_mb * 6 + 320))
gluster_start "$(mktemp -d /tmp/zuvo-gl.XXXXXX)" 2 "$brick_mb" || { echo "cannot set up the volume: $GL_WHY" >&2; exit 1; }
m1=${GL_MOUNTS[0]} m2=${GL_MOUNTS[1]}
bytes=$((size_mb * 1024 * 1024))
head -c "$bytes" /dev/urandom >"$local_dir/data"
head -c $((bytes / 2)) /dev/urandom >"$local_dir/half1"
head -c $((bytes / 2)) /dev/urandom >"$local_dir/half2"

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
declare -A rates
# Times one command into MB/s of `count` bytes.
timed() {  # key count command...
  local key=$1 count=$2 s e; shift 2
  sync
  s=$(date +%s%N)
  "$@" >/dev/null 2>"$local_dir/err" || { cat "$local_dir/err" >&2; exit 1; }
  e=$(date +%s%N)
  rates[$key]+="$(awk -v b="$count" -v ns=$((e - s)) 'BEGIN {printf "%.1f", b * 1000 / ns}') "
}
both() {  # two ingests at once, one through each client
  "$zuvo" copy "$local_dir/half1" "$m1/s/h1" >/dev/null &
  local first=$!
  "$zuvo" copy "$local_dir/half2" "$m2/s/h2" >/dev/null || { wait "$first"; return 1; }
  wait "$first"
}
floor_both() {  # the same through the floor, into folders made beforehand
  python3 "$root/bench/file_per_chunk.py" write "$local_dir/half1" "$m1/g1" "$k" >/dev/null &
  local first=$!
  python3 "$root/bench/file_per_chunk.py" write "$local_dir/half2" "$m2/g2" "$k" >/dev/null ||
    { wait "$first"; return 1; }
  wait "$first"
}

for ((r = 1; r <= runs; r++)); do
  "$zuvo" create_store -i "$k" "$m1/s" >/dev/null
  timed ingest "$bytes" "$zuvo" copy "$local_dir/data" "$m1/s/data"
  timed dwrite "$bytes" dd if="$local_dir/data" of="$m1/dd" bs=1M oflag=direct
  timed dread "$bytes" dd if="$m1/dd" of=/dev/null bs=1M iflag=direct
  rm -f "$m1/dd"
  # What one file per chunk costs on this volume whatever the program: the
  # rates zuvo's copies are set against beside dd's.
  rates[wfloor]+="$(python3 "$root/bench/file_per_chunk.py" write "$local_dir/data" "$m1/floor" "$k") "
  rates[rfloor]+="$(python3 "$root/bench/file_per_chunk.py" read "$m1/floor" "$k") "
  rm -rf "$m1/floor"
  timed re-ingest "$bytes" "$zuvo" copy "$local_dir/data" "$m1/s/again"
  rm -f "$local_dir/out"
  timed restore "$bytes" "$zuvo" copy "$m1/s/data" "$local_dir/out"
  cmp -s "$local_dir/data" "$local_dir/out" || { echo "the restore differs" >&2; exit 1; }
  # verify reads each distinct chunk once: its rate counts those bytes.
  timed verify "$(($(find "$m1/s/.zuvo" -type f ! -name _info | wc -l) * k))" "$zuvo" verify "$m1/s"
  timed two-clients "$bytes" both
  for g in "$m1/g1" "$m2/g2"; do python3 "$root/bench/file_per_chunk.py" write /dev/null "$g" >/dev/null; done
  timed floor-two "$bytes" floor_both
  rm -rf "$m1/g1" "$m2/g2"
  rm -rf "$m1/s"
done

# One more ingest into a new store, counted per chunk: its system calls on
# the mount (strace) and the requests one brick served (the volume's profile).
"$zuvo" create_store -i "$k" "$m1/p" >/dev/null
gl volume profile "$GL_VOL" start >/dev/null
gl volume profile "$GL_VOL" info clear >/dev/null
strace -f -c -o "$local_dir/trace" "$zuvo" copy "$local_dir/half1" "$m1/p/x" >/dev/null
chunks=$((bytes / 2 / k))
fops=$(gl volume profile "$GL_VOL" info incremental | awk -v n="$chunks" '/^Brick/ {b++}
  b == 1 && /[0-9]+ +[A-Z]+$/ {s = s sprintf("%s %.1f, ", $NF, $(NF - 1) / n); t += $(NF - 1)}
  END {printf "%stotal %.1f", s, t / n}')
per_chunk=$(awk -v n="$chunks" '$NF ~ /^(openat|mkdir|link|unlink|rename|renameat2|close|pwrite64|newfstatat|statx|fsync|fdatasync|syncfs|flock)$/ {
  s = s sprintf("%s %.1f, ", $NF, $4 / n) } END {print s}' "$local_dir/trace")

# shellcheck disable=SC2086  # a list of numbers, split on purpose
med() { printf '%s\n' ${rates[$1]} | median; }
w=$(med dwrite) rd=$(med dread) one=$(med ingest) wf=$(med wfloor) rf=$(med rfloor) f2=$(med floor-two)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b == "-") print "-"; else printf "%.2f", a / b}'; }
echo
echo "zuvo on GlusterFS (replica 2, two FUSE mounts), ${size_mb} MiB, $((k / 1024)) KiB chunks, median of $runs runs"
printf '%-12s %8s %8s  %-16s %6s %7s %8s %6s\n' case MB/s limit "limit is" ratio target floor "/floor"
while read -r name target limit what floor; do
  v=$(med "$name")
  printf '%-12s %8s %8s  %-16s %6s %7s %8s %6s\n' "$name" "$v" "$limit" "$what" \
    "$(ratio "$v" "$limit")" "$target" "$floor" "$(ratio "$v" "$floor")"
done <<EOF
ingest 0.5 $w O_DIRECT-write $wf
re-ingest - - (writes-nothing) -
restore 0.7 $rd O_DIRECT-read $rf
verify 0.7 $rd O_DIRECT-read $rf
two-clients 1.5 $one ingest,1-client $f2
EOF
echo "  dd O_DIRECT write $w MB/s, read $rd MB/s"
echo "  one file per chunk, 16 at once, nothing else (bench/file_per_chunk.py):"
echo "    create+write+close $wf MB/s ($(ratio "$wf" "$w") of dd's write)," \
  "open+read+close $rf MB/s ($(ratio "$rf" "$rd") of dd's read);"
echo "    two writers at once, one through each mount, $f2 MB/s together ($(ratio "$f2" "$wf") times one)"
echo "  system calls per chunk in an ingest: ${per_chunk%, }"
echo "  requests per chunk on one brick: $fops"
