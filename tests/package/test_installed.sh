#!/usr/bin/env bash
# Tests the Debian package: builds it, checks it with lintian (no errors)
# and that it depends on the libraries loaded only when first needed,
# installs it into this machine, runs the main job against the installed
# /usr/bin/quillmark (a sample signed and timestamped against the loopback
# test server, and an installer package signed, then verified with
# osslsigncode), and removes it again, so that the machine's packages are
# as they were. Needs root; shows SKIPPED
# when it cannot run, never a pass.
# Usage: tests/package/test_installed.sh BUILD-DIR [PACKAGE-BUILD-DIR]
#   BUILD-DIR holds a built tree with tools/tsa_server (the plain build).
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
build=$(realpath "${1:?usage: test_installed.sh BUILD-DIR [PACKAGE-BUILD-DIR]}")
pkgdir=${2:-build-package}

skip() { echo "SKIPPED: installed package: $*"; exit 0; }
fail() { echo "FAILED: installed package: $*" >&2; exit 1; }

for tool in dpkg-buildflags dpkg-shlibdeps lintian osslsigncode certutil pk12util \
            i686-w64-mingw32-gcc x86_64-w64-mingw32-gcc wixl; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -x "$build/tools/tsa_server" ] || skip "$build/tools/tsa_server is not built"

deb=$(scripts/package.sh "$pkgdir" | tail -n 1)
echo "package: $deb"
dpkg-deb -c "$deb" | awk '{print "  " $6}'

# libgsf (installer packages) and libcurl (timestamps) are opened when first
# needed, so dpkg-shlibdeps does not see them; the package names them.
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
for lib in 'libgsf-1-[0-9]' 'libcurl[0-9]'; do
  echo ", $depends" | grep -qE ", $lib[^,]* \(>= " || fail "the package does not depend on $lib*: $depends"
done

echo "== lintian"
set +e
report=$(lintian --fail-on error --display-level '>=pedantic' "$deb" 2>&1)
lintian_status=$?
set -e
echo "$report" | grep -v 'running with root' || true
[ $lintian_status -eq 0 ] || fail "lintian reports errors"

[ "$(id -u)" -eq 0 ] || skip "installing needs root"
status() { dpkg-query -W -f='${db:Status-Abbrev}' quillmark 2>/dev/null || true; }
case "$(status)" in
  "" | "un "* | "rc "*) ;;
  *) skip "a quillmark package is installed already; left as it is" ;;
esac
[ ! -e /usr/bin/quillmark ] || skip "/usr/bin/quillmark exists outside the package system"
# Only the package itself may be added: its dependencies must be here
# already, or removing it would leave the machine changed.
plan=$(apt-get -s -o Debug::NoLocking=1 install --no-install-recommends "$deb" 2>/dev/null | grep '^Inst ' || true)
[ "$plan" = "$(echo "$plan" | grep '^Inst quillmark ')" ] && [ -n "$plan" ] ||
  skip "installing would add other packages: $(echo "$plan" | awk '{print $2}' | xargs)"

scratch=$(mktemp -d /tmp/quillmark-installed.XXXXXX)
tsa_pid=""
installed=""
cleanup() {
  if [ -n "$tsa_pid" ]; then kill "$tsa_pid" 2>/dev/null || true; fi
  if [ -n "$installed" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=600 quillmark >/dev/null ||
      echo "FAILED: installed package: could not remove quillmark" >&2
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

echo "== install"
installed=yes
DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=600 \
  --no-install-recommends "$deb" >/dev/null
[ -x /usr/bin/quillmark ] || fail "/usr/bin/quillmark is not installed"
lib=$(dpkg -L quillmark | grep '/quillmark/libmssign32.so$')
echo "installed: /usr/bin/quillmark, $lib"
man -w quillmark >/dev/null || fail "man quillmark finds no page"
set +e
usage=$(/usr/bin/quillmark)
code=$?
set -e
[ $code -eq 1 ] && echo "$usage" | head -n1 | grep -q '^quillmark <options>' ||
  fail "quillmark without arguments: status $code, output: $usage"

echo "== main job against /usr/bin/quillmark"
tests/fixtures/make_pki.sh "$scratch/pki" >/dev/null
export HOME=$scratch/home
tests/fixtures/make_nssdb.sh "$HOME/.pki/nssdb" "$scratch/pki/signer-rsa.pfx" >/dev/null
mkdir -p "$scratch/work/bin"
printf '#include <stdio.h>\nint main(void) { puts("hello"); return 0; }\n' >"$scratch/hello.c"
i686-w64-mingw32-gcc -O2 -o "$scratch/work/bin/hello32.exe" "$scratch/hello.c"
x86_64-w64-mingw32-gcc -O2 -o "$scratch/work/bin/hello64.exe" "$scratch/hello.c"
"$build/tools/tsa_server" --cert "$scratch/pki/tsa.pem" --key "$scratch/pki/tsa.key" \
  --chain "$scratch/pki/tsa-chain.pem" --mode ok --requests 2 --seconds 60 >"$scratch/tsa.port" &
tsa_pid=$!
for _ in $(seq 50); do [ -s "$scratch/tsa.port" ] && break; sleep 0.1; done
[ -s "$scratch/tsa.port" ] || fail "the timestamp server did not start"
url="http://127.0.0.1:$(head -n1 "$scratch/tsa.port")/"
# From another folder, with an absolute pattern: nothing beside the program
# but what the package installed.
(cd / && /usr/bin/quillmark /n "Example Ltd" /t "$url" "$scratch/work/bin/*.exe") | tee "$scratch/out"
expected="QuillMark 1/2: $scratch/work/bin/hello32.exe OK
QuillMark 2/2: $scratch/work/bin/hello64.exe OK"
[ "$(cat "$scratch/out")" = "$expected" ] || fail "unexpected output"
for f in hello32.exe hello64.exe; do
  out=$(osslsigncode verify -CAfile "$scratch/pki/root.pem" -TSA-CAfile "$scratch/pki/tsa-root.pem" \
        -in "$scratch/work/bin/$f" 2>&1) || fail "$f does not verify: $out"
  echo "$out" | grep -q "Timestamp Server Signature verification: ok" || fail "$f: no verified timestamp"
  echo "$f: signature and timestamp verified"
done

# An installer package: libgsf, which the library opens for it, is found
# as the package's dependency installed it.
mkdir -p "$scratch/work/pkg"
bash "$repo/tests/fixtures/make_msi.sh" "$scratch/work/pkg/hello.msi" "$scratch/work/bin/hello32.exe" ||
  fail "wixl could not make the sample package"
(cd / && /usr/bin/quillmark /n "Example Ltd" "$scratch/work/pkg/hello.msi") | tee "$scratch/out"
[ "$(cat "$scratch/out")" = "QuillMark 1/1: $scratch/work/pkg/hello.msi OK" ] || fail "unexpected output"
out=$(osslsigncode verify -CAfile "$scratch/pki/root.pem" -in "$scratch/work/pkg/hello.msi" 2>&1) ||
  fail "hello.msi does not verify: $out"
echo "hello.msi: signature verified"

echo "== remove"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=600 quillmark >/dev/null
installed=""
case "$(status)" in "" | "un "*) ;; *) fail "quillmark is still known to dpkg: $(status)" ;; esac
[ ! -e /usr/bin/quillmark ] && [ ! -e "$lib" ] || fail "files of the package are left behind"
echo "PASSED: installed package (built, lintian clean, installed, signed, verified, removed)"
