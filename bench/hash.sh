#!/usr/bin/env bash
# Measures the chunk hash against openssl's SHA-512 and sha512sum, single-threaded,
# and the chunk compression throughput. The machine may be shared, so every
# figure is the median of several rounds, and the three hash measurements take
# turns within each round so that they see the same load.
# usage: bench/hash.sh [ROUNDS]   (default 7)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-7}
build=$root/build-bench

bash "$root/scripts/build.sh" build-bench -DCMAKE_BUILD_TYPE=Release -DZUVO_BENCH=ON -DZUVO_TESTS=OFF
bench=$build/bench/hash_bench

if ! command -v openssl >/dev/null; then
  apt-get install -y openssl >/dev/null
fi

# 512 MiB of random data in memory (or in the page cache) for sha512sum.
dir=/dev/shm
[ -d "$dir" ] && [ -w "$dir" ] || dir=${TMPDIR:-/tmp}
data=$(mktemp "$dir/zuvo_hash_bench.XXXXXX")
trap 'rm -f "$data"' EXIT
head -c $((512 * 1024 * 1024)) /dev/urandom >"$data"
sha512sum "$data" >/dev/null

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# Prints "name bytes_per_second" for each benchmark row of a CSV report.
bench_rates() {
  "$bench" --benchmark_format=csv "$@" 2>/dev/null | awk -F, '
    /^name,/ { for (i = 1; i <= NF; i++) if ($i == "bytes_per_second") col = i; next }
    col && /^"/ { gsub(/"/, "", $1); print $1, $col }'
}

: >"$build/hash_rates.txt"
for ((r = 1; r <= rounds; r++)); do
  bench_rates --benchmark_filter='BM_ChunkHash' --benchmark_min_time=1 >>"$build/hash_rates.txt"
  # openssl reports thousands of bytes per second ("123456.78k").
  openssl speed -evp sha512 -bytes 262144 -seconds 2 2>/dev/null |
    awk '/^sha512/ { v = $NF; sub(/k$/, "", v); print "openssl", v * 1000 }' >>"$build/hash_rates.txt"
  start=$(date +%s%N)
  sha512sum "$data" >/dev/null
  end=$(date +%s%N)
  awk -v b=$((512 * 1024 * 1024)) -v ns=$((end - start)) 'BEGIN { print "sha512sum", b / ns * 1e9 }' \
    >>"$build/hash_rates.txt"
  echo "round $r of $rounds done" >&2
done

rate() { awk -v n="$1" '$1 == n { print $2 }' "$build/hash_rates.txt" | median; }
portable=$(rate BM_ChunkHash/portable)
avx2=$(rate BM_ChunkHash/avx2)
ossl=$(rate openssl)
sum=$(rate sha512sum)
# Ours is the variant a hasher picks on this machine.
if [ -n "$avx2" ]; then ours=$avx2; variant=avx2; else ours=$portable; variant=portable; fi

bench_rates --benchmark_filter='BM_Chunk(Compress|Uncompress)' --benchmark_min_time=1 \
  --benchmark_repetitions=3 --benchmark_report_aggregates_only=true >"$build/zip_rates.txt"
zip() { awk -v n="$1_median" '$1 == n { print $2 }' "$build/zip_rates.txt"; }

awk -v p="$portable" -v a="${avx2:-0}" -v o="$ossl" -v s="$sum" -v us="$ours" -v var="$variant" \
  -v zc="$(zip BM_ChunkCompress/compressible)" -v zr="$(zip BM_ChunkCompress/random)" \
  -v zu="$(zip BM_ChunkUncompress)" -v n="$rounds" 'BEGIN {
  mb = 1e6
  printf "SHA-512 over 256 KiB chunks, one thread, median of %d rounds (MB = 10^6 bytes)\n", n
  printf "  ours portable      %8.1f MB/s\n", p / mb
  if (a > 0) printf "  ours avx2          %8.1f MB/s\n", a / mb
  printf "  openssl speed      %8.1f MB/s\n", o / mb
  printf "  sha512sum          %8.1f MB/s\n", s / mb
  printf "  ours (%s) / openssl   = %.3f\n", var, us / o
  printf "  ours (%s) / sha512sum = %.3f\n", var, us / s
  printf "Chunk compression, level 9, 256 KiB chunks, median of 3\n"
  printf "  compress compressible %8.1f MB/s\n", zc / mb
  printf "  compress random       %8.1f MB/s (does not fit: result 39)\n", zr / mb
  printf "  uncompress            %8.1f MB/s\n", zu / mb
}'
