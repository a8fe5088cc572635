# Which Wine runs the Windows tests on this machine, and why (sourced by
# build_and_test.sh and choose_wine_test.sh).
#
# Where the kernel executes 32-bit programs, 32-bit Wine runs the 32-bit
# build. Machines without that support cannot start Debian's 32-bit loader
# at all ("Exec format error"); there 64-bit Wine runs the 64-bit build.
#
#   qm_choose_wine    sets QM_WINE_ARCH (win32 or win64) and QM_WINE_WHY (one
#                     line naming the Wine and the reason); returns 1, with
#                     the reason in QM_WINE_WHY, when the Wine needed cannot
#                     run here.
#
# QM_WINE_ARCH=win32 or win64, set beforehand, makes that choice instead of
# the machine (win64 on a machine that runs both tries the 64-bit path).
# QM_WINE32_LOADER and QM_WINE64_LOADER name other loaders than Debian's
# (for the tests of this choice).

# Runs "LOADER --version"; prints nothing and succeeds when it ran, else
# prints why it did not.
qm_wine_probe() {
  local loader=$1 out status
  if [ ! -e "$loader" ]; then
    echo "$loader is not installed"
    return 1
  fi
  status=0
  # bash itself starts the loader: a program that cannot run then reads
  # "Exec format error" (env and timeout would hand it to /bin/sh as a script).
  out=$(timeout 60 bash -c 'exec "$0" --version' "$loader" 2>&1 </dev/null) || status=$?
  if [ "$status" -eq 0 ]; then
    return 0
  fi
  # bash's own report of a failed exec ("...: cannot execute binary file:
  # Exec format error") or the loader's first line.
  out=${out%%$'\n'*}
  case $out in *"cannot execute"*) out="cannot execute${out#*cannot execute}" ;; esac
  echo "$loader --version failed (status $status): ${out:-no output}"
  return 1
}

qm_choose_wine() {
  local wine32=${QM_WINE32_LOADER:-/usr/lib/wine/wine}
  local wine64=${QM_WINE64_LOADER:-/usr/lib/wine/wine64}
  local forced=${QM_WINE_ARCH:-} why32 why64
  case $forced in
    ""|win32|win64) ;;
    *)
      QM_WINE_WHY="QM_WINE_ARCH must be win32 or win64, not \"$forced\""
      return 1 ;;
  esac
  why32=$(qm_wine_probe "$wine32") && why32=""
  if [ "$forced" != win64 ] && [ -z "$why32" ]; then
    QM_WINE_ARCH=win32
    if [ -n "$forced" ]; then
      QM_WINE_WHY="32-bit Wine (WINEARCH=win32) runs the 32-bit build: QM_WINE_ARCH=win32 asks for it"
    else
      QM_WINE_WHY="32-bit Wine (WINEARCH=win32) runs the 32-bit build: this machine runs 32-bit programs"
    fi
    return 0
  fi
  if [ "$forced" = win32 ]; then
    QM_WINE_WHY="QM_WINE_ARCH=win32, but 32-bit Wine cannot run here: $why32"
    return 1
  fi
  why64=$(qm_wine_probe "$wine64") && why64=""
  if [ -n "$why64" ]; then
    if [ "$forced" = win64 ]; then
      QM_WINE_WHY="QM_WINE_ARCH=win64, but 64-bit Wine cannot run here: $why64"
    else
      QM_WINE_WHY="Wine cannot run here (install wine32 and wine64 with scripts/install-deps.sh): $why32; $why64"
    fi
    return 1
  fi
  QM_WINE_ARCH=win64
  if [ "$forced" = win64 ]; then
    QM_WINE_WHY="64-bit Wine (WINEARCH=win64) runs the 64-bit build: QM_WINE_ARCH=win64 asks for it"
  else
    QM_WINE_WHY="64-bit Wine (WINEARCH=win64) runs the 64-bit build: 32-bit programs cannot run here ($why32)"
  fi
  return 0
}
