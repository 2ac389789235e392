#!/usr/bin/env bash
# Measures `zuvo copy` and `zuvo verify` on generated data and, in the same
# run and on the same file system, the limit that bounds each case: openssl's
# SHA-512 on two cores,
# dd with O_DIRECT, cp, and for a compressing store the raw store's ingest.
# Every figure is the median
# of several rounds; each round takes every case and every limit in turn, so
# that all of them see the same load on a shared machine.
# usage: bench/copy.sh [SIZE_MB] [RUNS]   (defaults 1024 and 5)
#        bench/copy.sh --make random|mixed BYTES FILE   (only writes a data set)
set -euo pipefail

# random: incompressible, no repeats. mixed: a quarter repeated chunks, a
# quarter compressible text, half random.
make_data() {  # name bytes file
  if [ "$1" = random ]; then head -c "$2" /dev/urandom >"$3"; return; fi
  python3 - "$2" "$3" <<'PY'
import os, sys
size = int(sys.argv[1]); k = 262144
rep = os.urandom(k); words = b"backup image chunk store zuvo data block sector "
text = (words * (k // len(words) + 1))[:k]
with open(sys.argv[2], "wb") as f:
    written = 0
    while written < size:
        i = written // k
        piece = rep if i % 4 == 0 else text[:k - (i % 7)] + bytes(i % 7) if i % 4 == 1 else os.urandom(k)
        f.write(piece[:size - written]); written += len(piece[:size - written])
PY
}
if [ "${1:-}" = --make ]; then make_data "$2" "$3" "$4"; exit; fi

root=$(cd "$(dirname "$0")/.." && pwd)
size_mb=${1:-1024}
runs=${2:-5}
bash "$root/scripts/deps.sh" openssl time
bash "$root/scripts/build.sh" build-bench -DCMAKE_BUILD_TYPE=Release -DZUVO_BENCH=ON -DZUVO_TESTS=OFF
zuvo=$root/build-bench/zuvo
work=$(mktemp -d "${TMPDIR:-/tmp}/zuvo_copy_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
bytes=$((size_mb * 1024 * 1024))
# Nothing is deleted between timed runs (see below), so the space must be there.
need_kb=$((size_mb * 1024 * (12 * runs + 2)))
avail_kb=$(df -Pk "$work" | awk 'NR == 2 {print $4}')
[ "$avail_kb" -ge "$need_kb" ] || { echo "needs $((need_kb >> 20)) GiB free in $work" >&2; exit 1; }

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
declare -A rates
peak_kb=0
add() { rates[$1]+="$2 "; }
# Times one command into MB/s of the data size. The page cache is written back
# first: otherwise a previous run's writing competes with this one, and a copy
# into a store, which flushes the file system, would flush it too.
timed() {  # key command...
  local key=$1 s e u sy kb; shift
  sync
  s=$(date +%s%N)
  /usr/bin/time -f '%U %S %M' -o "$work/time" "$@" >/dev/null 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
  e=$(date +%s%N)
  read -r u sy kb <"$work/time"
  add "$key" "$(awk -v b="$bytes" -v ns=$((e - s)) 'BEGIN {printf "%.1f", b * 1000 / ns}')"
  add "$key:cpu" "$(awk -v c="$u" -v d="$sy" -v ns=$((e - s)) 'BEGIN {printf "%.2f", (c + d) * 1e9 / ns}')"
  if [ "$1" = "$zuvo" ] && [ "$kb" -gt "$peak_kb" ]; then peak_kb=$kb; fi
}
ossl() {  # openssl reports thousands of bytes per second ("123456.78k")
  openssl speed -evp sha512 -bytes 262144 -seconds 3 "$@" 2>/dev/null |
    awk '/^sha512/ { v = $NF; sub(/k$/, "", v); printf "%.1f\n", v * 1000 / 1000000 }'
}

for data in random mixed; do
  dir=$work/$data
  mkdir "$dir" && cd "$dir"
  make_data "$data" "$bytes" data.bin
  cat data.bin >/dev/null
  # Deleting many files makes ext4 slow to create new ones for minutes after,
  # so every round writes to fresh names and the stores stay until the end.
  for ((r = 1; r <= runs; r++)); do
    "$zuvo" create_store "s$r" >/dev/null
    timed "$data:ingest" "$zuvo" copy data.bin "s$r"
    timed "$data:dwrite" dd if=data.bin of="w$r" bs=256K oflag=direct
    timed "$data:re-ingest" "$zuvo" copy data.bin "s$r/again"
    timed "$data:restore" "$zuvo" copy "s$r/data.bin" "o$r"
    timed "$data:dread" dd if="w$r" of=/dev/null bs=256K iflag=direct
    # A restore reads and writes every byte on the same device at once.
    timed "$data:drw" bash -c 'dd if="$1" of=/dev/null bs=256K iflag=direct 2>/dev/null &
      dd if="$2" of="$3" bs=256K oflag=direct 2>/dev/null; wait' _ "w$r" data.bin "x$r"
    timed "$data:restore-same" "$zuvo" copy "s$r/data.bin" "o$r"
    # verify reads each distinct chunk once: its rate counts those bytes.
    all_bytes=$bytes
    bytes=$(( $(find "s$r/.zuvo" -type f ! -name _info | wc -l) * 262144 ))
    timed "$data:verify" "$zuvo" verify "s$r"
    bytes=$all_bytes
    "$zuvo" create_store "t$r" >/dev/null
    timed "$data:store-to-store" "$zuvo" copy "s$r/data.bin" "t$r"
    timed "$data:plain" "$zuvo" copy data.bin "p$r"
    timed "$data:cp" cp data.bin "c$r"
    # cp returns with its data still in the page cache; zuvo's is on the disk.
    timed "$data:cp-sync" bash -c 'cp "$1" "$2" && sync' _ data.bin "cs$r"
    "$zuvo" create_store -z "z$r" >/dev/null
    timed "$data:ingest-z" "$zuvo" copy data.bin "z$r"
    add "$data:hash2" "$(ossl -multi 2)"
  done
  # The big plain files make room for the next data set; the stores stay.
  rm -f w* x* o* p* c*
done

# shellcheck disable=SC2086  # a list of numbers, split on purpose
med() { printf '%s\n' ${rates[$1]} | median; }
min() { awk -v a="${lim[$1]}" -v b="${lim[$2]}" 'BEGIN {print (a < b) ? a : b}'; }
echo
echo "zuvo copy, ${size_mb} MiB, median of $runs runs ($(nproc) cores, $(df -PT "$work" | awk 'NR == 2 {print $2}') at $work)"
printf '%-22s %9s %9s  %-25s %6s %7s\n' case MB/s limit "limit is" ratio target
for data in random mixed; do
  declare -A lim=(
    [hash2]=$(med "$data:hash2") [dwrite]=$(med "$data:dwrite") [dread]=$(med "$data:dread") [drw]=$(med "$data:drw")
    [cp]=$(med "$data:cp") [cpsync]=$(med "$data:cp-sync") [ingest]=$(med "$data:ingest"))
  while read -r name target limit what; do
    r=$(med "$data:$name")
    printf '%-22s %9s %9s  %-25s %6.2f %7s\n' "$data:$name" "$r" "$limit" "$what" \
      "$(awk -v r="$r" -v l="$limit" 'BEGIN {print r / l}')" "$target"
  done <<EOF
ingest 0.7 $(min hash2 dwrite) min(sha512x2,O_DIRECT-wr)
re-ingest 0.8 ${lim[hash2]} sha512x2
restore 0.7 $(min hash2 drw) min(sha512x2,O_DIRECT-rd+wr)
restore-same 0.8 $(min hash2 dread) min(sha512x2,O_DIRECT-rd)
verify 0.8 $(min hash2 dread) min(sha512x2,O_DIRECT-rd)
store-to-store 0.7 $(min hash2 drw) min(sha512x2,O_DIRECT-rd+wr)
plain 0.8 ${lim[cp]} cp
plain 0.8 ${lim[cpsync]} cp+sync
ingest-z 0.8 ${lim[ingest]} raw-store-ingest
EOF
  echo "  limits: sha512x2 ${lim[hash2]}, O_DIRECT write ${lim[dwrite]}, O_DIRECT read ${lim[dread]}, both at once ${lim[drw]}," \
    "cp ${lim[cp]}, cp+sync ${lim[cpsync]} MB/s;" \
    "ingest CPU/wall $(med "$data:ingest:cpu")"
done
echo "peak resident memory of a copy: $((peak_kb / 1024)) MiB"
