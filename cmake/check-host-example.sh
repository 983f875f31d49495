#!/usr/bin/env bash
# Runs the README's host example against the simulated display over a virtual
# cable, as an integrator would try it: the text must arrive and the keys the
# display presses must come back to the host.
#   check-host-example.sh <bin dir> <scratch dir> [program [line...]]
# program defaults to host_example; each further line must also be in its output.
# Uses the last cable of $BRL_CABLES or of the prefix's cables.env (made by
# scripts/cables); exits 77 (skip) when there is none.
set -e
bin="$(cd "$1" && pwd)"; work="$2"; program="${3:-host_example}"
shift $(($# < 3 ? $# : 3))
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$(dirname "$bin")/wineprefix}"
if [ -z "$BRL_CABLES" ] && [ -f "$WINEPREFIX/cables.env" ]; then . "$WINEPREFIX/cables.env"; fi
[ -n "$BRL_CABLES" ] || { echo "no virtual cable (see scripts/cables): skipped"; exit 77; }
cable="${BRL_CABLES##* }"
driver_end="${cable%%:*}"; display_end="${cable##*:}"
rm -rf "$work"; mkdir -p "$work"
# Outputs go to files, not pipes: Wine's service processes may inherit a pipe.
"$here/scripts/wine-run" "$bin/displaysim.exe" "$display_end" --timeout 30000 \
  --script "wait-text; wait 200; fkey 1; wait 200; route 5; wait 200; fkey 30; wait 1000; quit" \
  >"$work/display.out" 2>&1 </dev/null &
sim=$!
set +e
timeout 60 "$here/scripts/wine-run" "$bin/$program.exe" "$driver_end" 6 >"$work/host.out" 2>&1 </dev/null
host_rc=$?
wait "$sim"
sim_rc=$?
set -e
out=$(tr -d '\r' <"$work/host.out")
failed=0
for line in "display on $driver_end: 40 text cells, 2 status cells" "key F1 0" "key Routing 3" "key SDN 0" "stopped" "$@"; do
  grep -Fxq "$line" <<<"$out" || { echo "missing from the host's output: $line"; failed=1; }
done
# The first line the display showed: "hello from the host" in braille.
grep -Fq '⠓⠑⠇⠇⠕⠀⠋⠗⠕⠍⠀⠞⠓⠑⠀⠓⠕⠎⠞' "$work/display.out" || { echo "the display never showed the greeting"; failed=1; }
if [ $host_rc != 0 ] || [ $sim_rc != 0 ] || [ $failed != 0 ]; then
  echo "host exit $host_rc, display exit $sim_rc"; echo "--- host"; echo "$out"; echo "--- display"; cat "$work/display.out"
  echo "0 passed, 1 failed"; exit 1
fi
echo "$program on $driver_end: greeting shown, keys F1, Routing 3, SDN received"
echo "1 passed, 0 failed"
