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

# ---- many files, one file per process, keys on a token -------------------------
# Self-contained: its own scratch folder, store and subjects. Rows, each the
# median of paired rounds (QM_BENCH_ROUNDS, default 3) against its peer in
# the same round:
#   many files   N real PE files (Wine's PE DLLs, the smallest N; mingw-built
#                programs where Wine is not installed) signed in one run
#                over a wildcard, against osslsigncode once per file
#   one per run  one small PE per process, K times, against osslsigncode
#   token        200 small files in one run with an RSA-3072 key on a SoftHSM2
#                token, against the same run with the key in the database
# Skipped when quillmark and libmssign32.so are not built.
files_section() {
  [[ -x "$build/quillmark" && -f "$build/libmssign32.so" ]] || {
    echo "many-files rows skipped: quillmark with libmssign32.so not built"; return 0; }
  local fw rounds n_many n_one
  fw=$(mktemp -d "${TMPDIR:-/tmp}/qm-bench-files-XXXXXX")
  rounds=${QM_BENCH_ROUNDS:-3}; n_many=${QM_BENCH_FILES:-400}; n_one=${QM_BENCH_SINGLE:-50}
  mkdir -p "$fw/bin" "$fw/many" "$fw/small"
  cp "$build/quillmark" "$build/libmssign32.so" "$fw/bin/"
  bash "$root/tests/fixtures/make_pki.sh" "$fw/pki" >/dev/null 2>&1
  local home="$fw/home"
  mkdir -p "$home/.pki/nssdb"
  certutil -N -d "sql:$home/.pki/nssdb" --empty-password
  pk12util -i "$fw/pki/signer-rsa.pfx" -d "sql:$home/.pki/nssdb" -W test -K "" >/dev/null
  cat "$fw/pki/signer-rsa.pem" "$fw/pki/intermediate.pem" > "$fw/certs.pem"

  local wine=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows kind
  if [[ -d "$wine" ]] && (( $(ls "$wine"/*.dll 2>/dev/null | wc -l) >= n_many )); then
    ls -S -r "$wine"/*.dll | head -n "$n_many" | xargs -I{} cp {} "$fw/many/"
    kind="Wine PE DLLs"
  else
    printf '#include <stdio.h>\nint main(void){puts("x");return 0;}\n' > "$fw/x.c"
    x86_64-w64-mingw32-gcc -O2 "$fw/x.c" -o "$fw/x.exe"
    for i in $(seq -w 1 "$n_many"); do cp "$fw/x.exe" "$fw/many/p$i.dll"; done
    kind="mingw programs"
  fi
  printf '#include <stdio.h>\nint main(void){puts("small");return 0;}\n' > "$fw/s.c"
  i686-w64-mingw32-gcc -O2 "$fw/s.c" -o "$fw/small.exe"

  now() { date +%s.%N; }
  median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
  sign_dir() {  # home dir identifier [env...]: one run over *.dll in dir, seconds
    local h=$1 d=$2 id=$3; shift 3
    local t0; t0=$(now)
    (cd "$d" && env HOME="$h" "$@" "$fw/bin/quillmark" /n "$id" '*.dll' > "$fw/out.txt") ||
      { echo "quillmark failed:"; tail -3 "$fw/out.txt"; exit 1; }
    awk "BEGIN{print $(now) - $t0}"
  }
  ossl_each() {  # dir: osslsigncode once per file, seconds
    local t0 f; t0=$(now)
    for f in "$1"/*; do
      osslsigncode sign -h sha256 -certs "$fw/certs.pem" -key "$fw/pki/signer-rsa.key" \
        -in "$f" -out "$fw/ossl.out" >/dev/null || { echo "osslsigncode failed on $f"; exit 1; }
      rm -f "$fw/ossl.out"
    done
    awk "BEGIN{print $(now) - $t0}"
  }
  : > "$fw/r-many"; : > "$fw/r-one"; : > "$fw/t-many"; : > "$fw/t-ossl"; : > "$fw/t-one"; : > "$fw/t-ossl1"
  local r ours peer
  for r in $(seq "$rounds"); do
    rm -rf "$fw/w"; cp -r "$fw/many" "$fw/w"; sync
    ours=$(sign_dir "$home" "$fw/w" "Example Ltd Code")
    peer=$(ossl_each "$fw/many")
    echo "$ours" >> "$fw/t-many"; echo "$peer" >> "$fw/t-ossl"
    awk "BEGIN{print $ours / $peer}" >> "$fw/r-many"

    rm -rf "$fw/w"; mkdir -p "$fw/w"
    for i in $(seq "$n_one"); do cp "$fw/small.exe" "$fw/w/s$i.exe"; done
    sync
    local t0; t0=$(now)
    for i in $(seq "$n_one"); do
      (cd "$fw/w" && HOME="$home" "$fw/bin/quillmark" /n "Example Ltd Code" "s$i.exe" >/dev/null) ||
        { echo "quillmark failed on a single file"; exit 1; }
    done
    ours=$(awk "BEGIN{print ($(now) - $t0) / $n_one}")
    rm -rf "$fw/w1"; mkdir -p "$fw/w1"
    for i in $(seq "$n_one"); do cp "$fw/small.exe" "$fw/w1/s$i.exe"; done
    peer=$(awk "BEGIN{print $(ossl_each "$fw/w1") / $n_one}")
    echo "$ours" >> "$fw/t-one"; echo "$peer" >> "$fw/t-ossl1"
    awk "BEGIN{print $ours / $peer}" >> "$fw/r-one"
  done
  echo
  echo "many files: $n_many $kind, $(du -sh "$fw/many" | cut -f1), median of $rounds paired rounds"
  printf '%-44s %8.2f s  %7.1f ms/file\n' \
    "quillmark, one run over a wildcard" "$(median < "$fw/t-many")" "$(awk "BEGIN{print 1000*$(median < "$fw/t-many")/$n_many}")" \
    "osslsigncode, one process per file" "$(median < "$fw/t-ossl")" "$(awk "BEGIN{print 1000*$(median < "$fw/t-ossl")/$n_many}")"
  printf '%-44s %8.2f x\n' "ratio (median of paired ratios)" "$(median < "$fw/r-many")"
  echo "one small PE per process ($n_one processes a round)"
  printf '%-44s %7.1f ms\n' "quillmark" "$(awk "BEGIN{print 1000*$(median < "$fw/t-one")}")" \
    "osslsigncode" "$(awk "BEGIN{print 1000*$(median < "$fw/t-ossl1")}")"
  printf '%-44s %8.2f x\n' "ratio (median of paired ratios)" "$(median < "$fw/r-one")"

  # Keys on a token: the same 200 files, key in the database against key on
  # a SoftHSM2 token (PIN from the environment, one login for the run).
  if command -v softhsm2-util >/dev/null && [[ -f /usr/lib/softhsm/libsofthsm2.so ]]; then
    bash "$root/tests/fixtures/make_token.sh" "$fw/token" "$fw/pki" >/dev/null
    rm -rf "$fw/t200"; mkdir -p "$fw/t200"
    for i in $(seq -w 1 200); do cp "$fw/small.exe" "$fw/t200/f$i.dll"; done
    : > "$fw/t-db"; : > "$fw/t-tok"
    for r in $(seq "$rounds"); do
      rm -rf "$fw/w"; cp -r "$fw/t200" "$fw/w"; sync
      sign_dir "$home" "$fw/w" "Example Ltd Code" >> "$fw/t-db"
      rm -rf "$fw/w"; cp -r "$fw/t200" "$fw/w"; sync
      sign_dir "$fw/token" "$fw/w" "Token RSA Signer" SOFTHSM2_CONF="$fw/token/softhsm2.conf" \
        QUILLMARK_PIN=1234 >> "$fw/t-tok"
    done
    echo "200 small files in one run, RSA-3072 (median of $rounds rounds)"
    printf '%-44s %7.1f ms/file\n' "key in the NSS database" "$(awk "BEGIN{print 1000*$(median < "$fw/t-db")/200}")" \
      "key on a SoftHSM2 token" "$(awk "BEGIN{print 1000*$(median < "$fw/t-tok")/200}")"
  else
    echo "token row skipped: SoftHSM2 is not installed (softhsm2)"
  fi
  rm -rf "$fw"
}
files_section
