#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz and runs each for SECONDS from a
# scratch copy of its seed corpus in fuzz/corpus/, so that runs do not grow
# the repository's corpus. Prints one line per target; fails on any finding
# and leaves the crashing inputs in build-fuzz/findings/.
# usage: scripts/fuzz.sh SECONDS [target...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:?usage: scripts/fuzz.sh SECONDS [target...]}
shift

bash "$root/scripts/deps.sh" clang libclang-rt-14-dev

build="$root/build-fuzz"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZUVO_FUZZ=ON -DZUVO_TESTS=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in "$root"/fuzz/*_fuzz.cpp; do
    name=$(basename "$src" .cpp)
    targets+=("${name%_fuzz}")
  done
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/%/_fuzz}" >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
findings="$build/findings"
mkdir -p "$findings"
failed=0
for t in "${targets[@]}"; do
  mkdir -p "$scratch/$t"
  if [ -d "$root/fuzz/corpus/$t" ]; then cp "$root/fuzz/corpus/$t"/* "$scratch/$t/" 2>/dev/null || true; fi
  log="$scratch/$t.log"
  rc=0
  "$build/fuzz/${t}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -timeout=25 \
    -rss_limit_mb=4096 -artifact_prefix="$findings/$t-" "$scratch/$t" >"$log" 2>&1 || rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  artifact=$(sed -n 's/.*Test unit written to //p' "$log" | tail -1)
  if [ "$rc" -eq 0 ]; then
    result="ok"
  else
    result="FAILED (exit $rc${artifact:+, input $artifact})"
    failed=1
    grep -E "check failed|ERROR|SUMMARY|^    #[0-9] " "$log" | head -12 | sed 's/^/    /'
  fi
  printf 'fuzz %-18s %10s executions  %s\n' "$t" "${execs:-?}" "$result"
done
exit $failed
