#!/bin/sh
# Sets up what Wine's 64-bit loader needs to run 32-bit Windows programs (its own WoW64): the
# 32-bit builtin DLLs of Debian's libwine package for i386, at exactly the installed libwine
# version, unpacked into a cache folder. Nothing is installed and no system file changes: an
# installed wine32 would make /usr/bin/wine pick the 32-bit loader, which cannot run here.
#
#   tools/wine32/setup.sh CACHE_DIR          sets up (once) and prints the folder to use as WINEDLLPATH
#   tools/wine32/setup.sh --path CACHE_DIR   only prints where that folder is (or would be)
#
# The folder printed holds two links: i386-windows (the unpacked 32-bit DLLs) and x86_64-unix
# (the system's own). WINEDLLPATH pointed at the unpacked tree itself breaks programs at start.
# Fails, naming what is missing, when the package of that version cannot be had: a 32-bit test
# must never pass by running nothing.
set -eu

only_path=
if [ "${1:-}" = "--path" ]; then only_path=1; shift; fi
cache=${1:?usage: setup.sh [--path] CACHE_DIR}
fail() { echo "wine32 set-up: $*" >&2; exit 1; }

version=$(dpkg-query -W -f='${Version}' libwine 2>/dev/null) || true
[ -n "$version" ] || fail "libwine (amd64) is not installed; install wine64 first"

# One folder per libwine version, so that an upgraded Wine never runs with older DLLs.
dir="$cache/libwine-$(printf '%s' "$version" | tr -c 'A-Za-z0-9.+-' '_')"
dllpath="$dir/dllpath"
if [ -n "$only_path" ] || [ -f "$dir/ready" ]; then
  echo "$dllpath"
  exit 0
fi

system_unix=/usr/lib/x86_64-linux-gnu/wine/x86_64-unix
[ -d "$system_unix" ] || fail "missing $system_unix (libwine amd64)"
[ -f /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/wow64.dll ] || \
  fail "this Wine has no wow64.dll: its 64-bit loader cannot host 32-bit programs"
zlib32=/usr/i686-w64-mingw32/lib/zlib1.dll
[ -f "$zlib32" ] || fail "missing $zlib32 (package libz-mingw-w64)"


echo "wine32 set-up: fetching libwine:i386 $version into $dir" >&2
rm -rf "$dir"
mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial" "$dir/deb"
# Private package lists that know the i386 architecture: the system's dpkg and apt
# configuration stay as they are.
apt_opts="-q -o APT::Architectures=amd64,i386 -o Dir::State::Lists=$dir/apt/lists -o Dir::Cache=$dir/apt/cache"
# shellcheck disable=SC2086
# One index that cannot be had (a mirror of another suite in the middle of its sync) does not
# matter when the package is found through the others: the download below says when it is not.
update_note=""
if ! apt-get $apt_opts update >"$dir/apt/update.log" 2>&1; then
  update_note=" and $dir/apt/update.log"
  echo "wine32 set-up: some package lists could not be had (see $dir/apt/update.log); going on" >&2
fi
# shellcheck disable=SC2086
(cd "$dir/deb" && apt-get $apt_opts download "libwine:i386=$version") >"$dir/apt/download.log" 2>&1 || \
  fail "the package libwine:i386 at version $version cannot be had (see $dir/apt/download.log$update_note)"
deb=$(ls "$dir"/deb/libwine_*_i386.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "apt-get download of libwine:i386=$version left no package"
dpkg-deb -x "$deb" "$dir/root" || fail "cannot unpack $deb"
rm -rf "$dir/deb" "$dir/apt/cache"

dlls="$dir/root/usr/lib/i386-linux-gnu/wine/i386-windows"
[ -f "$dlls/kernel32.dll" ] || fail "libwine:i386 $version holds no $dlls/kernel32.dll"
# Wine's prefix set-up needs zlib1.dll among the builtin DLLs (without it, C:\windows\syswow64
# stays empty). Debian's own install step marks the 64-bit one as a builtin this way.
cp "$zlib32" "$dlls/zlib1.dll"
printf 'Wine builtin DLL\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0' | \
  dd of="$dlls/zlib1.dll" bs=1 seek=64 conv=notrunc 2>/dev/null

mkdir -p "$dllpath"
ln -sfn "$dlls" "$dllpath/i386-windows"
ln -sfn "$system_unix" "$dllpath/x86_64-unix"
echo "$version" >"$dir/ready"
echo "$dllpath"
