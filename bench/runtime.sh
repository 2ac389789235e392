#!/usr/bin/env bash
# Builds Release with the benchmarks and runs the runtime benchmarks with
# repetitions, printing the medians and the ratios to the std references.
# usage: bench/runtime.sh [repetitions]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
reps=${1:-10}
bash "$root/scripts/build.sh" build-bench -DCMAKE_BUILD_TYPE=Release -DZUVO_BENCH=ON -DZUVO_TESTS=OFF >/dev/null
out=$("$root/build-bench/bench/runtime_bench" --benchmark_repetitions="$reps" \
  --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null)
echo "median real time per iteration (ns), $reps repetitions:"
echo "$out" | awk -F, '/_median"/ {
  name = $1; gsub(/"/, "", name); sub(/_median$/, "", name); sub(/\/real_time$/, "", name)
  ns[name] = $3; printf "  %-28s %10.1f\n", name, $3 }
  END {
    if (ns["BM_StdMutexUncontended"] > 0)
      printf "Lock / std::mutex (uncontended):           %.2f\n", ns["BM_LockUncontended"] / ns["BM_StdMutexUncontended"]
    if (ns["BM_StdCondvarHandover"] > 0)
      printf "Semaphore / condition_variable (hand-over): %.2f\n", ns["BM_SemaphoreHandover"] / ns["BM_StdCondvarHandover"]
  }'

# An uncontended acquisition must not enter the kernel: count every system
# call of a whole run of the uncontended case, start-up included.
if command -v strace >/dev/null 2>&1; then
  trace=$(mktemp)
  iters=$(strace -f -qq -c -o "$trace" "$root/build-bench/bench/runtime_bench" \
    --benchmark_filter='^BM_LockUncontended$' --benchmark_format=csv 2>/dev/null |
    awk -F, '/BM_LockUncontended/ {print $2}')
  calls=$(awk '$NF == "total" {print $4}' "$trace")
  rm -f "$trace"
  echo "system calls in a whole run of $iters uncontended acquire+release pairs: $calls"
fi
