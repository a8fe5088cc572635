#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing quillmark need.
# Does nothing when they are all present already. Needs root (or sudo).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3
  libnss3-dev libnss3-tools libssl-dev openssl libcurl4-openssl-dev
  libgtest-dev libgmock-dev googletest
  osslsigncode time softhsm2
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  clang libclang-rt-14-dev
  dpkg-dev lintian man-db
  libgsf-1-dev gcab msitools wixl
  xfsprogs  # the copy tests mount an XFS image with reflink
)
# Wine, with what it recommends: wine32 runs the 32-bit Windows build,
# wine64 the 64-bit one where the kernel cannot execute 32-bit programs
# (wine32 still installs there; only running it fails).
wine_packages=(wine wine32 wine64)

missing=()
for p in "${packages[@]}" "${wine_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# wine32 comes from the i386 architecture.
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
echo "installing: ${missing[*]}"
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${packages[@]}"
$sudo apt-get install -y -q "${wine_packages[@]}"
