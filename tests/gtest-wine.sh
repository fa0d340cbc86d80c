#!/bin/sh
# Runs one GoogleTest binary under Wine (tools/wine-run.sh) and passes only when it exited 0 AND
# printed its own summary with no failure: a 32-bit binary given to a 64-bit Wine without the
# 32-bit DLLs exits 0 having run nothing, and that must fail loudly, not pass.
out=$(mktemp) || exit 1
trap 'rm -f "$out"' EXIT
"$(dirname "$0")/../tools/wine-run.sh" "$@" >"$out" 2>&1
rc=$?
cat "$out"
if [ "$rc" -ne 0 ]; then
  echo "gtest-wine: $1 exited with $rc"
  exit 1
fi
if ! grep -Eq '^\[  PASSED  \] [0-9]+ tests?\.' "$out"; then
  echo "gtest-wine: $1 printed no GoogleTest summary: it did not run (for a 32-bit binary: are the"
  echo "gtest-wine: 32-bit Wine DLLs set up? \`make wine32-env\` prints the lines that set them up)"
  exit 1
fi
if grep -q '^\[  FAILED  \]' "$out"; then
  echo "gtest-wine: $1 reported failures"
  exit 1
fi
exit 0
