#!/bin/sh
# Runs a Windows program under Wine's 64-bit loader (/usr/bin/wine may pick a 32-bit loader,
# which cannot run here). WINEPREFIX comes from the caller.
if [ -x /usr/lib/wine/wine64 ]; then loader=/usr/lib/wine/wine64
elif [ -x /usr/lib/x86_64-linux-gnu/wine/wine64 ]; then loader=/usr/lib/x86_64-linux-gnu/wine/wine64
else loader=wine64; fi
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec "$loader" "$@"
