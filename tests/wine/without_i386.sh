#!/usr/bin/env bash
# Runs a command as on a machine whose kernel cannot execute 32-bit
# programs, as far as Wine can tell: in a mount namespace of its own,
# Debian's 32-bit Wine loader is covered by a file the kernel refuses
# ("Exec format error"). Needs root (unshare). To try the 64-bit path:
#   tests/wine/without_i386.sh tests/wine/build_and_test.sh
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARG...]" >&2; exit 2; }
loader=${QM_WINE32_LOADER:-/usr/lib/wine/wine}
[ -e "$loader" ] || { echo "$loader is not installed: nothing to cover" >&2; exit 2; }
cover=$(mktemp)
trap 'rm -f "$cover"' EXIT
{ printf '\177ELF\001\001\001'; head -c 100 /dev/zero; } >"$cover"
chmod +x "$cover"
unshare -m bash -c 'mount --bind "$1" "$2" && shift 2 && "$@"' _ "$cover" "$loader" "$@"
