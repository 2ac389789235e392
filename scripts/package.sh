#!/usr/bin/env bash
# Builds the packages: the Debian package from the Linux build (build/, the
# Release folder that scripts/test.sh uses) and the zip of zuvo.exe from the
# Windows cross build (build-win/). Only the executables are built here; the
# packages land in build/packages and build-win/packages. Installs what is
# missing (dpkg-shlibdeps for the package's dependencies, the cross compiler).
# usage: scripts/package.sh [deb] [win]    (both when none is named)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
want_deb=0 want_win=0
for a in "$@"; do
  case $a in
    deb) want_deb=1 ;;
    win) want_win=1 ;;
    *) echo "usage: scripts/package.sh [deb] [win]" >&2; exit 2 ;;
  esac
done
if [ $# -eq 0 ]; then want_deb=1 want_win=1; fi

# The same configuration as the test command's stages, so that neither
# folder is built twice over.
if [ $want_deb = 1 ]; then
  bash "$root/scripts/deps.sh" dpkg-dev
  cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZUVO_WERROR=ON >/dev/null
  cmake --build "$root/build" --target zuvo -j "$(nproc)"
  rm -f "$root"/build/packages/zuvo_*.deb  # one package per folder, of this version
  (cd "$root/build" && cpack -G DEB >/dev/null)
  ls "$root"/build/packages/zuvo_*.deb
fi
if [ $want_win = 1 ]; then
  bash "$root/scripts/deps.sh" g++-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest
  cmake -S "$root" -B "$root/build-win" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZUVO_WERROR=ON >/dev/null
  cmake --build "$root/build-win" --target zuvo -j "$(nproc)"
  rm -f "$root"/build-win/packages/zuvo-*-win64.zip
  (cd "$root/build-win" && cpack -G ZIP >/dev/null)
  ls "$root"/build-win/packages/zuvo-*-win64.zip
fi
