#!/usr/bin/env bash
# Signing speed and memory on a large installer-like PE32+: builds a 512 MiB
# image (mingw-w64 x86-64 exe with a large appended payload), then times
# signing it with quillmark (or, while the signing library is not built, the
# engine's own driver with a dummy signature), `openssl dgst -sha256` of it,
# and `osslsigncode sign` of it, printing times, ratios to openssl dgst and
# peak RSS. Not a test: the figures depend on the machine.
#   scripts/bench_sign.sh [BUILD_DIR] [SIZE_MIB]
# Needs: x86_64-w64-mingw32-gcc, openssl, osslsigncode, GNU time (/usr/bin/time).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
size_mib=${2:-512}

for tool in x86_64-w64-mingw32-gcc openssl osslsigncode /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (apt-get install it)"; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/qm-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

# ---- the signer under test ---------------------------------------------
# The program and the real library sit at the top of the build folder (the
# doubles of the tests live in subfolders under the same file name).
quillmark=""; mssign=""
build=$(cd "$build" && pwd)
[[ -x "$build/quillmark" ]] && quillmark=$build/quillmark
[[ -f "$build/libmssign32.so" ]] && mssign=$build/libmssign32.so
driver=$(find "$build" -maxdepth 4 -type f -name qm_pe_bench_driver -perm -u+x 2>/dev/null | head -1 || true)
if [[ -n "$quillmark" && -n "$mssign" ]]; then
  mode=quillmark
  export HOME="$work/home"
  mkdir -p "$HOME/.pki/nssdb"
  bash "$root/tests/fixtures/make_pki.sh" "$work/pki" >/dev/null 2>&1
  certutil -N -d "sql:$HOME/.pki/nssdb" --empty-password
  pk12util -i "$work/pki/signer-rsa.pfx" -d "sql:$HOME/.pki/nssdb" -W test >/dev/null
  ours=("$quillmark" /n "Example Ltd Code Signing")
elif [[ -n "$driver" ]]; then
  mode="engine driver (qm_pe_bench_driver, dummy 6000-byte signature: libmssign32.so not built)"
  ours=("$driver")
else
  echo "build first: neither quillmark with libmssign32.so nor qm_pe_bench_driver under $build"
  exit 2
fi

# ---- the subject -----------------------------------------------------------
cat > "$work/app.c" <<'C'
#include <stdio.h>
int main(void) { puts("installer stub"); return 0; }
C
x86_64-w64-mingw32-gcc -O2 -s "$work/app.c" -o "$work/stub.exe"
stub_size=$(stat -c %s "$work/stub.exe")
payload=$(( size_mib * 1024 * 1024 - stub_size ))
{ cat "$work/stub.exe"; head -c "$payload" /dev/urandom; } > "$work/big.exe"

openssl req -x509 -newkey rsa:3072 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -subj "/CN=Bench Signer" -days 2 -sha256 >/dev/null 2>&1

# ---- measure -----------------------------------------------------------------
# Each run: one warm-up read so every contender starts from the page cache.
measure() {  # label command...
  local label=$1; shift
  rm -f "$work/ossl.exe"
  cat "$work/big.exe" > /dev/null
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" > "$work/out.txt" 2>&1 || {
    echo "$label failed:"; cat "$work/out.txt"; exit 1; }
  read -r secs rss_kb < "$work/time.txt"
  eval "t_$label=$secs; m_$label=$rss_kb"
}

runs=${QM_BENCH_RUNS:-3}
best() {  # label command... : the fastest of $runs runs
  local label=$1; shift
  local bt="" bm=""
  for _ in $(seq "$runs"); do
    measure "$label" "$@"
    local t m; eval "t=\$t_$label; m=\$m_$label"
    if [[ -z "$bt" ]] || awk "BEGIN{exit !($t < $bt)}"; then bt=$t; bm=$m; fi
  done
  eval "t_$label=$bt; m_$label=$bm"
}

# Ours signs in place: each run starts from a fresh unsigned copy, made and
# flushed outside the timing.
time_ours() {
  local bt="" bm="" t m
  for _ in $(seq "$runs"); do
    cp "$work/big.exe" "$work/ours.exe"; sync
    # A relative name: an argument starting with '/' is an option to quillmark.
    (cd "$work" && /usr/bin/time -f "%e %M" -o "$work/time.txt" "${ours[@]}" ours.exe > "$work/out.txt" 2>&1) ||
      { echo "ours failed:"; cat "$work/out.txt"; exit 1; }
    read -r t m < "$work/time.txt"
    if [[ -z "$bt" ]] || awk "BEGIN{exit !($t < $bt)}"; then bt=$t; bm=$m; fi
  done
  t_ours=$bt; m_ours=$bm
}

best dgst openssl dgst -sha256 "$work/big.exe"
time_ours
best ossl osslsigncode sign -h sha256 -certs "$work/cert.pem" -key "$work/key.pem" \
  -in "$work/big.exe" -out "$work/ossl.exe"

ratio() { awk "BEGIN{printf \"%.2f\", $1 / $2}"; }
echo "subject: ${size_mib} MiB PE32+ ($(stat -c %s "$work/big.exe") bytes), best of $runs runs, $(nproc) cores"
echo "signer:  $mode"
printf '%-22s %8s s  %6s x dgst  peak RSS %7d KiB\n' \
  "openssl dgst -sha256" "$t_dgst" "1.00" "$m_dgst" \
  "ours" "$t_ours" "$(ratio "$t_ours" "$t_dgst")" "$m_ours" \
  "osslsigncode sign" "$t_ossl" "$(ratio "$t_ossl" "$t_dgst")" "$m_ossl"
