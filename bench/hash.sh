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

# Prints "name bytes_per_second label" for each benchmark row of a CSV report
# that has a rate (a variant this processor cannot run has none).
bench_rates() {
  "$bench" --benchmark_format=csv "$@" 2>/dev/null | awk -F, '
    /^name,/ { for (i = 1; i <= NF; i++) { if ($i == "bytes_per_second") col = i; if ($i == "label") lab = i }; next }
    col && /^"/ && $col != "" { gsub(/"/, ""); print $1, $col, $lab }'
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
# Ours is the variant a new hasher picks on this machine. Each round's ratio is
# taken within the round too, which cancels load that lasted a whole round.
variant=$(awk '$1 == "BM_ChunkHash/chosen" { print $3; exit }' "$build/hash_rates.txt")
ratio() {
  awk -v n="$1" '$1 == "BM_ChunkHash/chosen" { o[++i] = $2 } $1 == n { t[++j] = $2 }
    END { for (k = 1; k <= i && k <= j; k++) print o[k] / t[k] }' "$build/hash_rates.txt" | median
}

bench_rates --benchmark_filter='BM_Chunk(Compress|Uncompress)' --benchmark_min_time=1 \
  --benchmark_repetitions=3 --benchmark_report_aggregates_only=true >"$build/zip_rates.txt"
zip() { awk -v n="$1_median" '$1 == n { print $2 }' "$build/zip_rates.txt"; }

awk -v p="$(rate BM_ChunkHash/portable)" -v a="$(rate BM_ChunkHash/avx2)" \
  -v a5="$(rate BM_ChunkHash/avx512)" -v us="$(rate BM_ChunkHash/chosen)" -v var="$variant" \
  -v o="$(rate openssl)" -v s="$(rate sha512sum)" -v ro="$(ratio openssl)" -v rs="$(ratio sha512sum)" \
  -v zz="$(zip BM_ChunkCompress/zeros)" -v zc="$(zip BM_ChunkCompress/compressible)" -v zr="$(zip BM_ChunkCompress/random)" \
  -v zu="$(zip BM_ChunkUncompress)" -v n="$rounds" 'BEGIN {
  mb = 1e6
  printf "SHA-512 over 256 KiB chunks, one thread, median of %d rounds (MB = 10^6 bytes)\n", n
  printf "  ours, portable     %8.1f MB/s\n", p / mb
  if (a > 0) printf "  ours, avx2         %8.1f MB/s\n", a / mb
  if (a5 > 0) printf "  ours, avx512       %8.1f MB/s\n", a5 / mb
  printf "  %-18s %8.1f MB/s\n", "ours, chosen " var, us / mb
  printf "  openssl speed      %8.1f MB/s\n", o / mb
  printf "  sha512sum          %8.1f MB/s\n", s / mb
  printf "  ours / openssl   = %.3f (median of per-round ratios %.3f)\n", us / o, ro
  printf "  ours / sha512sum = %.3f (median of per-round ratios %.3f)\n", us / s, rs
  printf "Chunk compression, level 9, 256 KiB chunks, median of 3\n"
  printf "  compress zeros        %8.1f MB/s\n", zz / mb
  printf "  compress compressible %8.1f MB/s (word text, about 1/4 the size)\n", zc / mb
  printf "  compress random       %8.1f MB/s (does not fit: result 39)\n", zr / mb
  printf "  uncompress            %8.1f MB/s\n", zu / mb
}'
