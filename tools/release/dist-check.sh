#!/usr/bin/env bash
# `make dist-check`: the release packages are reproducible. Two clones of HEAD, in two folders of
# different names and depths, each run `make dist` in turn (so at different times); every zip of
# the one must equal the other's, byte for byte. Prints the SHA-256 of each pair; on a difference
# names the entries that differ and keeps both clones for a look. Exit code 1 on any difference.
set -eu
repo=$(cd "$(dirname "$0")/../.." && pwd)
commit=$(git -C "$repo" rev-parse HEAD)
if [ -n "$(git -C "$repo" status --porcelain --untracked-files=no)" ]; then
  echo "dist-check: uncommitted changes are not part of the check: it builds $commit" >&2
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/kdht-dist-check.XXXXXX")
one=$work/one
two=$work/second/clone-two
for d in "$one" "$two"; do
  git clone -q --no-hardlinks "$repo" "$d"
  git -C "$d" checkout -q --detach "$commit"
done
for d in "$one" "$two"; do
  echo "== dist-check: make dist in $d ($(date -u +%H:%M:%S) UTC)"
  make -C "$d" --no-print-directory dist JOBS="${JOBS:-2}" >"$d.log" 2>&1 || {
    echo "dist-check: make dist failed in $d; its output:" >&2; tail -40 "$d.log" >&2; exit 1; }
done

status=0
for zip in "$one"/dist/*.zip; do
  name=$(basename "$zip")
  other=$two/dist/$name
  a=$(sha256sum "$zip" | cut -d' ' -f1)
  b=$( [ -f "$other" ] && sha256sum "$other" | cut -d' ' -f1 || echo missing)
  echo "$a  one/dist/$name"
  echo "$b  second/clone-two/dist/$name"
  if [ "$a" = "$b" ]; then
    echo "dist-check: $name identical"
  else
    status=1
    echo "dist-check: $name DIFFERS"
    if [ -f "$other" ]; then
      mkdir -p "$work/x1/$name" "$work/x2/$name"
      (cd "$work/x1/$name" && unzip -q "$zip") && (cd "$work/x2/$name" && unzip -q "$other")
      diff -rq "$work/x1/$name" "$work/x2/$name" || true
    fi
  fi
done
if [ "$(ls "$one"/dist/*.zip | wc -l)" != 2 ]; then
  echo "dist-check: expected two zips in $one/dist" >&2; status=1
fi
if [ $status = 0 ]; then rm -rf "$work"; else echo "dist-check: both clones kept in $work" >&2; fi
exit $status
