#!/usr/bin/env bash
# Runs a Windows program under Wine (Debian's wine64), in a Wine prefix of
# our own so that the user's ~/.wine is not touched; `--init` makes the
# prefix first, so that parallel runs do not race to make it.
# Environment: RAWCAN_WINEPREFIX (default ~/.cache/rawcan-wine).
set -euo pipefail

export WINEPREFIX="${RAWCAN_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/rawcan-wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"  # no Mono or Gecko prompts

wine=""
for candidate in wine64 /usr/lib/wine/wine64 wine; do
  if command -v "$candidate" >/dev/null; then
    wine=$(command -v "$candidate")
    break
  fi
done
if [ -z "$wine" ]; then
  echo "wine-run.sh: Wine not found (Debian: wine64)" >&2
  exit 127
fi

if [ "${1:-}" = "--init" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine" wineboot --init >/dev/null 2>&1
    wineserver=$(command -v wineserver || echo "$(dirname "$wine")/wineserver")
    "$wineserver" --wait  # until the new prefix is written out
  fi
  exit 0
fi
exec "$wine" "$@"
