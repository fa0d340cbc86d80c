#!/usr/bin/env bash
# `make test` and `make test-full`: every stage in order, each timed, and at the end the wall time
# of each stage and the seed the randomized sweeps were drawn from. A failing stage does not stop
# the later ones (but nothing runs without a build); the exit code is 1 when any stage failed.
#
#   tests/stages.sh quick   the sweeps drawn from a seed that changes per run; the x86_64
#                           end-to-end run limited to the scenarios where the width matters
#   tests/stages.sh full    every case of every sweep, every scenario in both widths
#
# KDHT_SWEEP_SEED=N replays the sweeps of an earlier run. Called from the Makefile, which exports
# WINEPREFIX, WINEDLLPATH, KDHT_CACHE and the compiler cache's settings.
set -u
mode=${1:-quick}
case "$mode" in quick|full) ;; *) echo "usage: $0 quick|full" >&2; exit 2 ;; esac
cd "$(dirname "$0")/.."

MAKE=${MAKE:-make}
PYTHON=${PYTHON:-/usr/bin/python3}
B32=${B32:-build/win32}
B64=${B64:-build/win64}
export KDHT_SWEEP=$mode
if [ -z "${KDHT_SWEEP_SEED:-}" ]; then
  KDHT_SWEEP_SEED=$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')
fi
export KDHT_SWEEP_SEED

names=()
secs=()
outcomes=()
status=0
started=$(date +%s.%N)

# stage NAME COMMAND...: runs it, records its wall time and outcome.
stage() {
  local name=$1 t0 t1 outcome=ok
  shift
  echo "== $name"
  t0=$(date +%s.%N)
  "$@" || { outcome=FAILED; status=1; }
  t1=$(date +%s.%N)
  names+=("$name")
  secs+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.0f", b - a }')")
  outcomes+=("$outcome")
  [ "$outcome" = ok ]
}

ctest_in() { (cd "$1" && ctest --output-on-failure); }
pytest_on() { KDHT_BUILD="$(pwd)/$1" "$PYTHON" -m pytest -q -p no:cacheprovider "${@:2}"; }

summary() {
  local i total
  total=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.0f", b - a }')
  echo
  if [ "$mode" = full ]; then echo "== make test-full: wall time of each stage"
  else echo "== make test: wall time of each stage"; fi
  for i in "${!names[@]}"; do
    printf '  %-22s %5s s  %s\n' "${names[$i]}" "${secs[$i]}" "${outcomes[$i]}"
  done
  printf '  %-22s %5s s\n' "total" "$total"
  echo "== sweeps: seed $KDHT_SWEEP_SEED ($mode) for the interrupted runs' kill points and the hostile" \
       "templates' random edits; replay with KDHT_SWEEP_SEED=$KDHT_SWEEP_SEED"
}
trap summary EXIT

stage "packages" "$MAKE" --no-print-directory deps wine32 || exit 1
stage "build" "$MAKE" --no-print-directory build || exit 1
stage "prefix and canaries" "$MAKE" --no-print-directory canary || exit 1
stage "unit i686" ctest_in "$B32"
stage "unit x86_64" ctest_in "$B64"
stage "e2e i686" pytest_on "$B32" tests/e2e
stage "release i686" pytest_on "$B32" tests/release
stage "faults i686" pytest_on "$B32" tests/faults
if [ "$mode" = full ]; then
  stage "e2e x86_64" pytest_on "$B64" tests/e2e
else
  stage "e2e x86_64 (width)" pytest_on "$B64" tests/e2e -m width
fi
"$MAKE" --no-print-directory wine-down
exit $status
