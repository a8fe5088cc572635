#!/usr/bin/env bash
# The main job, end to end, on a fresh Debian 12 machine: installs what it
# needs, builds quillmark, makes a throwaway certificate chain and personal
# store in a scratch HOME (never yours), builds a small release folder (two
# Windows programs, a PowerShell script, a cabinet and an installer
# package), signs and timestamps it with quillmark in one run against a
# loopback RFC 3161 server, and verifies every signature with osslsigncode.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 >/dev/null
echo "built: build/quillmark and build/libmssign32.so"

scratch=$(mktemp -d /tmp/quillmark-demo.XXXXXX)
tsa_pid=""
cleanup() {
  if [ -n "$tsa_pid" ]; then kill "$tsa_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

echo "== throwaway PKI and personal store in $scratch/home"
tests/fixtures/make_pki.sh "$scratch/pki" >/dev/null
export HOME=$scratch/home
tests/fixtures/make_nssdb.sh "$HOME/.pki/nssdb" "$scratch/pki/signer-rsa.pfx"
certutil -L -d "sql:$HOME/.pki/nssdb"

echo "== sample programs"
mkdir -p "$scratch/work/bin"
cat > "$scratch/hello.c" <<'C'
#include <stdio.h>
int main(void) { puts("hello from a signed program"); return 0; }
C
i686-w64-mingw32-gcc -O2 -o "$scratch/work/bin/hello32.exe" "$scratch/hello.c"
x86_64-w64-mingw32-gcc -O2 -o "$scratch/work/bin/hello64.exe" "$scratch/hello.c"
cat > "$scratch/work/bin/install.ps1" <<'PS1'
param([string]$Target = "$env:ProgramFiles\Hello")
New-Item -ItemType Directory -Force -Path $Target | Out-Null
Copy-Item -Path "$PSScriptRoot\hello64.exe" -Destination $Target
Write-Output "installed to $Target"
PS1
gcab -c -z -n "$scratch/work/bin/hello.cab" "$scratch/work/bin/hello32.exe" "$scratch/work/bin/hello64.exe"
bash "$repo/tests/fixtures/make_msi.sh" "$scratch/work/bin/hello.msi" "$scratch/work/bin/hello32.exe"
# The programs as packed, to compare with what the signed containers hold.
cp "$scratch/work/bin/hello32.exe" "$scratch/work/bin/hello64.exe" "$scratch/"
ls -l "$scratch/work/bin"

echo "== loopback timestamp server"
port_file=$scratch/tsa.port
build/tools/tsa_server --cert "$scratch/pki/tsa.pem" --key "$scratch/pki/tsa.key" \
  --chain "$scratch/pki/tsa-chain.pem" --mode ok --requests 5 --seconds 60 >"$port_file" &
tsa_pid=$!
for _ in $(seq 50); do [ -s "$port_file" ] && break; sleep 0.1; done
[ -s "$port_file" ] || { echo "the timestamp server did not start" >&2; exit 1; }
url="http://127.0.0.1:$(head -n1 "$port_file")/"
echo "listening at $url"

echo "== quillmark /v /n \"Example Ltd\" /t $url 'bin/*'"
cd "$scratch/work"
"$repo/build/quillmark" /v /n "Example Ltd" /t "$url" 'bin/*'

echo "== osslsigncode verify"
for f in bin/hello32.exe bin/hello64.exe bin/install.ps1 bin/hello.cab bin/hello.msi; do
  osslsigncode verify -CAfile "$scratch/pki/root.pem" -TSA-CAfile "$scratch/pki/tsa-root.pem" \
    -in "$f" | grep -E "(Current|Calculated) (message digest|DigitalSignature)|Signature verification|Timestamp|Number of verified" || true
  osslsigncode verify -CAfile "$scratch/pki/root.pem" -TSA-CAfile "$scratch/pki/tsa-root.pem" \
    -in "$f" >/dev/null
  echo "$f: signature verified"
done
echo "== the cabinet and the package still hold their files"
mkdir -p "$scratch/extract"
gcab -x -C "$scratch/extract" bin/hello.cab
(cd "$scratch/extract" && msiextract "$scratch/work/bin/hello.msi")
cmp "$scratch/extract/hello32.exe" "$scratch/hello32.exe"
cmp "$scratch/extract/hello64.exe" "$scratch/hello64.exe"
cmp "$scratch/extract/Program Files/Hello/hello32.exe" "$scratch/hello32.exe"
echo "the cabinet and the package extract to the files packed into them"
echo "demo finished: programs, script, cabinet and package signed, timestamped and verified"
