#!/usr/bin/env bash
# Installs what is missing, builds the normal and the sanitizer flavours and
# runs every test through CTest. The last lines are CTest's summary.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
jobs=$(nproc)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
bash "$root/scripts/build.sh" build-asan -DCMAKE_BUILD_TYPE=Debug -DZUVO_WERROR=ON \
  "-DZUVO_SANITIZE=address;undefined"
(cd "$root/build-asan" && ctest --output-on-failure -j "$jobs")

echo "== ThreadSanitizer build (runtime suites and the copy pipeline)"
bash "$root/scripts/build.sh" build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUVO_WERROR=ON \
  -DZUVO_SANITIZE=thread
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "$root/build-tsan/tests/unit_tests" \
  --gtest_filter='Runtime*:Lock*:WaitBlock*:Signal*:Semaphore*:Thread*:WorkItem*:ConsoleControl*:JIndex*:CopyPipeline*:ChunkFile.*:ChunkCompress.ManyThreads*'

echo "== Windows executable, tested under Wine"
bash "$root/scripts/windows.sh"

echo "== Fuzz targets, 5 seconds each from the seed corpus"
bash "$root/scripts/fuzz.sh" 5

echo "== Packages: the .deb unpacked and run, the manual page, the Windows zip"
bash "$root/scripts/deps.sh" groff-base systemd  # systemd-analyze checks the example units
bash "$root/scripts/package.sh"
python3 "$root/tests/e2e/package_test.py" "$root/build" "$root/build-win"

echo "== Release build"
bash "$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUVO_WERROR=ON

echo "== File systems: ext4, XFS, btrfs, tmpfs and a folder shared over SSH, mounted twice"
bash "$root/scripts/fs_matrix.sh" "$root/build/zuvo"

cd "$root/build" && ctest --output-on-failure -j "$jobs"
