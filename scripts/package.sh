#!/usr/bin/env bash
# Builds the Debian package of the Linux build: a Release tree configured
# for /usr with Debian's hardening flags, packed by CPack (version from the
# project, architecture from this machine, dependencies computed from the
# binaries). The package's path is the last line of the output.
# Usage: scripts/package.sh [BUILD-DIR]   (default build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-package}

scripts/install-deps.sh >&2

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cflags=$(dpkg-buildflags --get CFLAGS)
cxxflags=$(dpkg-buildflags --get CXXFLAGS)
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DQM_BUILD_TESTS=OFF \
  -DCMAKE_C_FLAGS="$cppflags $cflags" -DCMAKE_CXX_FLAGS="$cppflags $cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
  -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$dir" -j2
rm -f "$dir"/quillmark_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
debs=("$dir"/quillmark_*.deb)
[ -f "${debs[0]}" ] || { echo "cpack made no package" >&2; exit 1; }
dpkg-deb --info "${debs[0]}" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\):/\1:/p'
realpath "${debs[0]}"
