#!/usr/bin/env bash
# Measures `zuvo copy` on generated data in the page cache, beside the tools
# that bound it, all in the same run: openssl's SHA-512 (one process and two),
# sha512sum and cp. Each figure is the median of several runs.
# usage: bench/copy.sh [SIZE_MB] [RUNS]   (defaults 1024 and 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size_mb=${1:-1024}
runs=${2:-5}
bash "$root/scripts/deps.sh"
for tool in openssl /usr/bin/time; do
  command -v "$tool" >/dev/null || apt-get install -y -qq "$(basename "$tool")" >/dev/null
done
bash "$root/scripts/build.sh" build-bench -DCMAKE_BUILD_TYPE=Release -DZUVO_BENCH=ON -DZUVO_TESTS=OFF
zuvo=$root/build-bench/zuvo
work=$(mktemp -d "${TMPDIR:-/tmp}/zuvo_copy_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
bytes=$((size_mb * 1024 * 1024))

# random: incompressible, no repeats. mixed: a quarter repeated chunks, a
# quarter compressible text, half random.
head -c "$bytes" /dev/urandom >random.bin
python3 - "$bytes" <<'PY'
import os, sys
size = int(sys.argv[1]); k = 262144
rep = os.urandom(k); words = b"backup image chunk store zuvo data block sector "
text = (words * (k // len(words) + 1))[:k]
with open("mixed.bin", "wb") as f:
    written = 0
    while written < size:
        i = written // k
        piece = rep if i % 4 == 0 else text[:k - (i % 7)] + bytes(i % 7) if i % 4 == 1 else os.urandom(k)
        f.write(piece[:size - written]); written += len(piece[:size - written])
PY
cat random.bin mixed.bin >/dev/null

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
# seconds for one command, run with its set-up excluded
timed() { local s e; s=$(date +%s%N); "$@" >/dev/null; e=$(date +%s%N); echo "scale=6; ($e - $s) / 1000000000" | bc; }
rate_of() { echo "scale=1; $bytes / 1000000 / $1" | bc; }
peak_kb=0
note_peak() {
  local kb
  kb=$( { /usr/bin/time -v "$@" >/dev/null; } 2>&1 | awk -F: '/Maximum resident/ { gsub(/ /, "", $2); print $2 }')
  [ "$kb" -gt "$peak_kb" ] && peak_kb=$kb
  return 0
}
command -v bc >/dev/null || apt-get install -y -qq bc >/dev/null

declare -A results
measure() {  # name setup-command run-command...
  local name=$1 setup=$2; shift 2
  local times=()
  for ((r = 1; r <= runs; r++)); do
    eval "$setup"
    times+=("$(timed "$@")")
  done
  results[$name]=$(printf '%s\n' "${times[@]}" | median)
}

for data in random mixed; do
  measure "$data:ingest" "rm -rf s; $zuvo create_store s >/dev/null" "$zuvo" copy $data.bin s
  measure "$data:ingest-z" "rm -rf z; $zuvo create_store -z z >/dev/null" "$zuvo" copy $data.bin z
  measure "$data:re-ingest" "rm -f s/again" "$zuvo" copy $data.bin s/again
  measure "$data:restore" "rm -f out.bin" "$zuvo" copy s/$data.bin out.bin
  measure "$data:restore-same" ":" "$zuvo" copy s/$data.bin out.bin
  measure "$data:plain" "rm -f plain.bin" "$zuvo" copy $data.bin plain.bin
  note_peak "$zuvo" copy $data.bin s/peak.bin
  note_peak "$zuvo" copy s/$data.bin peak.out
  rm -f s/peak.bin peak.out
done
measure "ref:cp" "rm -f cp.bin" cp random.bin cp.bin
measure "ref:sha512sum" ":" sha512sum random.bin
ossl() {
  openssl speed -evp sha512 -bytes 262144 -seconds 3 "$@" 2>/dev/null |
    awk '/^sha512/ { v = $NF; sub(/k$/, "", v); printf "%.1f\n", v * 1000 / 1000000 }'
}
openssl1=$(for ((r = 1; r <= 3; r++)); do ossl; done | median)
openssl2=$(for ((r = 1; r <= 3; r++)); do ossl -multi 2; done | median)

echo
echo "zuvo copy, ${size_mb} MiB in the page cache, median of $runs runs ($(nproc) cores)"
printf '%-26s %10s %12s %12s\n' "case" "MB/s" "x openssl2" "x cp"
cp_rate=$(rate_of "${results[ref:cp]}")
for key in random:ingest random:ingest-z random:re-ingest random:restore random:restore-same random:plain \
           mixed:ingest mixed:ingest-z mixed:re-ingest mixed:restore mixed:restore-same mixed:plain \
           ref:sha512sum ref:cp; do
  r=$(rate_of "${results[$key]}")
  printf '%-26s %10s %12s %12s\n' "$key" "$r" "$(echo "scale=2; $r / $openssl2" | bc)" "$(echo "scale=2; $r / $cp_rate" | bc)"
done
printf '%-26s %10s\n' "ref:openssl sha512 x1" "$openssl1" "ref:openssl sha512 -multi 2" "$openssl2"
echo "peak resident memory of a copy: $((peak_kb / 1024)) MiB"
