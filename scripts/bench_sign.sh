#!/usr/bin/env bash
# Signing speed where users feel it, beside a peer timed in the same rounds:
#   many files  - real PE files (Wine's DLLs) signed in one quillmark run over
#                 a wildcard, against osslsigncode called once per file;
#   one file    - a small PE, one process per file (as `find -exec` does),
#                 quillmark against osslsigncode;
#   large files - 512 MiB and 2 GiB PE32+ (a small program with a large
#                 payload, like an installer), signed and flushed to disk,
#                 against `openssl dgst -sha256` of the same file, with
#                 `cat f > g; sync` as the floor the disk sets, and
#                 osslsigncode beside them;
#   token       - small files in one run with the key on a SoftHSM2 token,
#                 against the same run with the key in the database.
# Each round runs every contender once; the table shows the median time of
# the rounds and the median of the per-round ratios (the machine's noise
# hits both sides of a round alike). Not a test: the figures depend on the
# machine. A throwaway certificate goes into a scratch NSS database; nothing
# of the user's is touched.
#   scripts/bench_sign.sh [BUILD_DIR]
# Settings: QM_BENCH_ROUNDS (5), QM_BENCH_FILES (400), QM_BENCH_SMALL_CALLS
# (20 processes per round), QM_BENCH_TOKEN_FILES (200), QM_BENCH_SIZES (MiB, "512 2048"); 0 or "" leaves
# a row out. TMPDIR picks the file system the files are signed on.
# Needs: a built quillmark and libmssign32.so, x86_64-w64-mingw32-gcc,
# openssl, osslsigncode, certutil/pk12util, GNU time, Wine's PE DLLs (the
# package wine32 or wine64) for the many-files row.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
rounds=${QM_BENCH_ROUNDS:-5}
file_count=${QM_BENCH_FILES:-400}
small_calls=${QM_BENCH_SMALL_CALLS:-20}
sizes=${QM_BENCH_SIZES-512 2048}

for tool in x86_64-w64-mingw32-gcc openssl osslsigncode certutil pk12util /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (scripts/install-deps.sh installs it)"; exit 2; }
done
quillmark=$build/quillmark
[[ -x "$quillmark" && -f "$build/libmssign32.so" ]] ||
  { echo "build first: no quillmark with libmssign32.so in $build"; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/qm-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

# ---- a throwaway signer: certificate chain and personal store -------------
export HOME="$work/home"
bash "$root/tests/fixtures/make_pki.sh" "$work/pki" >/dev/null 2>&1
bash "$root/tests/fixtures/make_nssdb.sh" "$HOME/.pki/nssdb" "$work/pki/signer-rsa.pfx" >/dev/null
subject="Example Ltd Code Signing"
ossl_sign=(osslsigncode sign -h sha256 -certs "$work/pki/signer-rsa.pem" -key "$work/pki/signer-rsa.key")

# ---- helpers ---------------------------------------------------------------
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN{printf "%.4f", b - a}'; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END{printf "%.4f", NR%2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.3f", a / b}'; }
times() { median "$@" | awk '{printf "%.2f x", $1}'; }  # the median of ratios
ms() { awk -v s="$1" -v n="${2:-1}" 'BEGIN{printf "%.1f ms", 1000 * s / n}'; }
secs() { awk -v s="$1" 'BEGIN{printf "%.2f s", s}'; }
run_quiet() {  # command...: its output only when it fails
  "$@" > "$work/out.txt" 2>&1 || { echo "failed: $*"; tail -n 20 "$work/out.txt"; exit 1; }
}
rows=()
row() { rows+=("| $1 | $2 | $3 | $4 | $5 |"); }

# ---- many files in one run -------------------------------------------------
wine_dir=""
for d in /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/x86_64-linux-gnu/wine/x86_64-windows; do
  [[ -d "$d" ]] && wine_dir=$d && break
done
if (( file_count == 0 )); then
  :  # left out
elif [[ -n "$wine_dir" ]]; then
  mkdir -p "$work/dlls"
  # Wine's own files carry no signature yet; every one is a real PE image.
  mapfile -t dlls < <(find "$wine_dir" -maxdepth 1 -type f -name '*.dll' | sort)
  cp -t "$work/dlls" "${dlls[@]:0:$file_count}"
  count=$(find "$work/dlls" -type f | wc -l)
  bytes=$(du -sb "$work/dlls" | cut -f1)
  t_q=(); t_o=(); r=()
  for _ in $(seq "$rounds"); do
    rm -rf "$work/many" "$work/many-out"; cp -r "$work/dlls" "$work/many"; mkdir "$work/many-out"; sync
    start=$(now)
    (cd "$work/many" && run_quiet "$quillmark" /n "$subject" '*.dll')
    tq=$(elapsed "$start")
    start=$(now)
    for f in "$work/dlls"/*.dll; do
      run_quiet "${ossl_sign[@]}" -in "$f" -out "$work/many-out/${f##*/}"
    done
    to=$(elapsed "$start")
    t_q+=("$tq"); t_o+=("$to"); r+=("$(ratio "$tq" "$to")")
  done
  signed=("$work/many"/*.dll)
  osslsigncode verify -CAfile "$work/pki/root.pem" -in "${signed[0]}" >/dev/null ||
    { echo "a file signed in the many-files run does not verify"; exit 1; }
  row "$count Wine DLLs ($((bytes >> 20)) MiB), one run over \`*.dll\`" \
    "$(secs "$(median "${t_q[@]}")") ($(ms "$(median "${t_q[@]}")" "$count") a file)" \
    "osslsigncode once per file: $(secs "$(median "${t_o[@]}")")" "$(times "${r[@]}")" "at most 0.25 x"
  rm -rf "$work/many" "$work/many-out" "$work/dlls"
else
  row "many files in one run" "skipped: no Wine DLLs (install wine32 or wine64)" "" "" ""
fi

# ---- one small PE, one process per file -----------------------------------
cat > "$work/app.c" <<'C'
#include <stdio.h>
int main(void) { puts("installer stub"); return 0; }
C
x86_64-w64-mingw32-gcc -O2 -s "$work/app.c" -o "$work/stub.exe"
if (( small_calls > 0 )); then
  t_q=(); t_o=(); r=()
  for _ in $(seq "$rounds"); do
    rm -rf "$work/small"; mkdir -p "$work/small/out"
    for i in $(seq "$small_calls"); do cp "$work/stub.exe" "$work/small/f$i.exe"; done
    sync
    start=$(now)
    for i in $(seq "$small_calls"); do (cd "$work/small" && run_quiet "$quillmark" /n "$subject" "f$i.exe"); done
    tq=$(elapsed "$start")
    start=$(now)
    for i in $(seq "$small_calls"); do run_quiet "${ossl_sign[@]}" -in "$work/stub.exe" -out "$work/small/out/f$i.exe"; done
    to=$(elapsed "$start")
    t_q+=("$tq"); t_o+=("$to"); r+=("$(ratio "$tq" "$to")")
  done
  row "one small PE ($(stat -c %s "$work/stub.exe") bytes), one process per file" \
    "$(ms "$(median "${t_q[@]}")" "$small_calls")" "osslsigncode: $(ms "$(median "${t_o[@]}")" "$small_calls")" \
    "$(times "${r[@]}")" "at most 2 x"
  rm -rf "$work/small"
fi

# ---- large files -------------------------------------------------------------
openssl_time() { /usr/bin/time -f "%e" -o "$work/time.txt" openssl dgst -sha256 "$1" >/dev/null; cat "$work/time.txt"; }
stub_size=$(stat -c %s "$work/stub.exe")
driver=$(find "$build" -maxdepth 4 -type f -name qm_pe_bench_driver -perm -u+x 2>/dev/null | sort | sed -n 1p)
for size_mib in $sizes; do
  big=$work/big.exe
  # The payload: 64 MiB of random bytes repeated (nothing on the way compresses).
  head -c $((64 << 20)) /dev/urandom > "$work/block"
  payload=$(((size_mib << 20) - stub_size))
  {
    cat "$work/stub.exe"
    for _ in $(seq $((payload >> 26))); do cat "$work/block"; done
    head -c $((payload & ((64 << 20) - 1))) "$work/block"
  } > "$big"
  rm -f "$work/block"
  t_d=(); t_q=(); t_f=(); t_o=(); r_q=(); r_f=(); r_o=(); rss=0; rss_o=0
  for _ in $(seq "$rounds"); do
    # Ours signs in place: a fresh unsigned copy each round, made and flushed
    # outside the timing (where cp shares extents, the copy is read once so
    # that it too starts from the page cache, as every contender does).
    cp "$big" "$work/ours.exe"; rm -f "$work/floor.exe" "$work/ossl.exe"; sync
    cat "$big" "$work/ours.exe" > /dev/null
    td=$(openssl_time "$big")
    (cd "$work" && /usr/bin/time -f "%e %M" -o "$work/time.txt" "$quillmark" /n "$subject" ours.exe) > "$work/out.txt" 2>&1 ||
      { echo "quillmark failed on the $size_mib MiB file:"; cat "$work/out.txt"; exit 1; }
    read -r tq m < "$work/time.txt"
    (( m > rss )) && rss=$m
    start=$(now)
    sh -c 'cat "$1" > "$2"; sync' sh "$big" "$work/floor.exe"
    tf=$(elapsed "$start")
    rm -f "$work/floor.exe"
    /usr/bin/time -f "%e %M" -o "$work/time.txt" "${ossl_sign[@]}" -in "$big" -out "$work/ossl.exe" > "$work/out.txt" 2>&1 ||
      { echo "osslsigncode failed on the $size_mib MiB file:"; cat "$work/out.txt"; exit 1; }
    read -r to mo < "$work/time.txt"
    (( mo > rss_o )) && rss_o=$mo
    rm -f "$work/ossl.exe"
    t_d+=("$td"); t_q+=("$tq"); t_f+=("$tf"); t_o+=("$to")
    r_q+=("$(ratio "$tq" "$td")"); r_f+=("$(ratio "$tf" "$td")"); r_o+=("$(ratio "$to" "$td")")
  done
  osslsigncode verify -CAfile "$work/pki/root.pem" -in "$work/ours.exe" >/dev/null ||
    { echo "the signed $size_mib MiB file does not verify"; exit 1; }
  label="$size_mib MiB PE32+"
  (( size_mib % 1024 == 0 )) && label="$((size_mib / 1024)) GiB PE32+"
  # How the engine made the copy on this file system (the driver says).
  how=""
  if [[ -n "$driver" ]]; then
    how=$("$driver" "$work/ours.exe" | sed -n 's/.*, copy \(.*\)$/, copy: \1/p')
  fi
  row "$label, signed and on disk$how" "$(secs "$(median "${t_q[@]}")"), peak RSS $((rss >> 10)) MiB" \
    "\`openssl dgst -sha256\`: $(secs "$(median "${t_d[@]}")")" "$(times "${r_q[@]}")" "at most 1.3 x"
  row "$label: floor, \`cat f > g; sync\`" "" "$(secs "$(median "${t_f[@]}")")" "$(times "${r_f[@]}")" ""
  row "$label: \`osslsigncode sign\` (no flush)" "" "$(secs "$(median "${t_o[@]}")"), peak RSS $((rss_o >> 10)) MiB" \
    "$(times "${r_o[@]}")" ""
  rm -f "$big" "$work/ours.exe"
done

# ---- keys on a token -----------------------------------------------------------
# The same small files in one run, key in the database against an RSA-3072
# key on a SoftHSM2 token (PIN from the environment, one login for the run).
token_files=${QM_BENCH_TOKEN_FILES:-200}
if (( token_files == 0 )); then
  :  # left out
elif command -v softhsm2-util >/dev/null && [[ -f /usr/lib/softhsm/libsofthsm2.so ]]; then
  bash "$root/tests/fixtures/make_token.sh" "$work/token" "$work/pki" >/dev/null
  mkdir -p "$work/t-files"
  for i in $(seq -w 1 "$token_files"); do cp "$work/stub.exe" "$work/t-files/f$i.dll"; done
  t_q=(); t_o=(); r=()
  for _ in $(seq "$rounds"); do
    rm -rf "$work/t"; cp -r "$work/t-files" "$work/t"; sync
    start=$(now)
    (cd "$work/t" && run_quiet "$quillmark" /n "$subject" '*.dll')
    td=$(elapsed "$start")
    rm -rf "$work/t"; cp -r "$work/t-files" "$work/t"; sync
    start=$(now)
    (cd "$work/t" && HOME="$work/token" SOFTHSM2_CONF="$work/token/softhsm2.conf" QUILLMARK_PIN=1234 \
      run_quiet "$quillmark" /n "Token RSA Signer" '*.dll')
    tt=$(elapsed "$start")
    t_q+=("$tt"); t_o+=("$td"); r+=("$(ratio "$tt" "$td")")
  done
  row "$token_files small PEs in one run, RSA-3072 key on a SoftHSM2 token" \
    "$(secs "$(median "${t_q[@]}")") ($(ms "$(median "${t_q[@]}")" "$token_files") a file)" \
    "key in the database: $(ms "$(median "${t_o[@]}")" "$token_files") a file" "$(times "${r[@]}")" ""
  rm -rf "$work/t" "$work/t-files" "$work/token"
else
  row "keys on a token" "skipped: SoftHSM2 is not installed (softhsm2)" "" "" ""
fi

# ---- the table ---------------------------------------------------------------
echo "$(nproc) cores, $rounds paired rounds, medians; ratio: quillmark (or the row's contender) / peer, median of the rounds' ratios"
echo
echo "| work | quillmark | peer, same rounds | ratio | goal |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
