#!/bin/sh
# Runs a Windows program under Wine's 64-bit loader (/usr/bin/wine may pick a 32-bit loader,
# which cannot run here). WINEPREFIX comes from the caller. 32-bit programs run through the
# loader's own WoW64 once WINEDLLPATH names the 32-bit DLLs that tools/wine32/setup.sh unpacked;
# when the caller did not set it, the cached set-up of the installed libwine is used if present.
if [ -x /usr/lib/wine/wine64 ]; then loader=/usr/lib/wine/wine64
elif [ -x /usr/lib/x86_64-linux-gnu/wine/wine64 ]; then loader=/usr/lib/x86_64-linux-gnu/wine/wine64
else loader=wine64; fi
if [ -z "${WINEDLLPATH:-}" ]; then
  dllpath=$("$(dirname "$0")/wine32/setup.sh" --path "${KDHT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kdht}" 2>/dev/null)
  if [ -n "$dllpath" ] && [ -d "$dllpath" ]; then export WINEDLLPATH="$dllpath"; fi
fi
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec "$loader" "$@"
