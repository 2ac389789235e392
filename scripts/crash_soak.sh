#!/usr/bin/env bash
# Kills ingests at random moments and checks the store afterwards.
# usage: scripts/crash_soak.sh [N] [extra crash_soak.py arguments...]
# Uses build/zuvo (the Release build), building it first when it is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-500}
shift || true
exe=${ZUVO:-$root/build/zuvo}
if [ ! -x "$exe" ]; then
  bash "$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUVO_WERROR=ON
fi
exec python3 "$root/tests/soak/crash_soak.py" "$exe" "$runs" "$@"
