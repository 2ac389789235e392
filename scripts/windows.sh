#!/usr/bin/env bash
# Builds the Windows executable (build-win/zuvo.exe) and its unit tests with
# the MinGW-w64 cross compiler and runs every test under Wine: the unit tests
# and the command-line tests, through pipes, with one Wine server for the
# whole run and the Wine prefix inside the build folder. Installs the cross
# compiler, zlib for MinGW and Wine when they are missing.
# usage: scripts/windows.sh [extra cmake arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-win
started=$(date +%s)

bash "$root/scripts/deps.sh" --no-recommends googletest g++-mingw-w64-x86-64-posix \
  libz-mingw-w64-dev wine64 wine

# Headless Wine: no debug chatter, no .NET or HTML engine prompts.
export WINEPREFIX=$build/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$build"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== Wine prefix"
  wine wineboot --init >/dev/null 2>&1
  # The null graphics driver lets the hidden window exist without a display.
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  wineserver -w
fi
# One server for the whole run: each program then starts in a tenth of a
# second instead of seconds.
wineserver -p || true  # one may be running already (a second start fails)
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine wineboot >/dev/null 2>&1
# Without a console the program makes its hidden window, which starts the
# Wine desktop; a first window kept open keeps that desktop for the whole
# run instead of one per program (each holding the test's pipes about a
# second after the program has ended).
wine notepad </dev/null >/dev/null 2>&1 &

# A Linux executable already built (by scripts/test.sh's earlier stages) lets
# the stores of the two platforms be checked against each other.
linux_exe=${ZUVO_LINUX_EXE:-}
for candidate in "$root/build/zuvo" "$root/build-asan/zuvo" "$root/build-tsan/zuvo"; do
  if [ -z "$linux_exe" ] && [ -x "$candidate" ]; then linux_exe=$candidate; fi
done
[ -n "$linux_exe" ] || echo "no Linux zuvo built: the cross-platform store test is left out"

echo "== Windows build (MinGW-w64)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUVO_WERROR=ON "-DZUVO_LINUX_EXE=$linux_exe" "$@" >/dev/null
cmake --build "$build" -j 2

echo "== Windows tests under Wine"
rc=0
# A test run again once: under a loaded machine Wine now and then fails to
# start a program at all (a failure in 0.01 s with no output).
(cd "$build" && ctest --output-on-failure -j 2 --repeat until-pass:2) || rc=$?
echo "Windows leg: $(( $(date +%s) - started )) s"
exit $rc
