#!/usr/bin/env bash
# Makes the Wine prefix the Windows suites share. Started by netns_run.sh.
#
#   wine_prefix.sh PREFIX
#
# Wine makes a missing prefix on its first start, so one start of cmd.exe
# does it; "wineboot -i" would run the whole setup a second time, over the
# services the first one started. Each attempt is bounded. A hung attempt
# is reported with Wine's own log and what its processes wait on, killed,
# and made again from nothing, once.
set -u
[ "${VX_NETNS_ISOLATED:-}" = 1 ] || { echo "wine_prefix.sh: run me through netns_run.sh" >&2; exit 2; }
[ $# -eq 1 ] || { echo "usage: wine_prefix.sh PREFIX" >&2; exit 2; }
prefix=$1
wine=${WINE:-/usr/lib/wine/wine64}
wineserver=${WINESERVER:-/usr/lib/wine/wineserver64}
export WINEPREFIX="$prefix" WINEDEBUG=fixme-all
# Wine's background processes write to this file, not to the test's
# output: ctest waits until every holder of its pipe has gone.
log=$(mktemp)
trap 'rm -f "$log"' EXIT

report() {  # attempt
  echo "wine_prefix.sh: attempt $1 did not finish; Wine's log ends:" >&2
  tail -n 40 "$log" >&2
  echo "wine_prefix.sh: Wine's processes then:" >&2
  for p in $(pgrep -f -i 'wine|[.]exe'); do
    [ "$p" != $$ ] || continue
    ps -o pid=,stat=,etime=,wchan:24=,args= -p "$p" >&2
    grep -E '^(State|Threads):' "/proc/$p/status" 2>/dev/null | tr '\n' ' ' >&2 && echo >&2
  done
}

for attempt in 1 2; do
  "$wineserver" -k 2>/dev/null
  rm -rf "$prefix"
  if timeout -k 5 180 "$wine" cmd.exe /c exit 0 </dev/null >"$log" 2>&1 &&
    timeout -k 5 60 "$wineserver" -w && [ -f "$prefix/system.reg" ]; then
    grep -v -e '^$' "$log"
    exit 0
  fi
  report "$attempt"
  "$wineserver" -k 2>/dev/null
  timeout 30 "$wineserver" -w 2>/dev/null
done
exit 1
