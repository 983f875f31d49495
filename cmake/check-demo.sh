#!/usr/bin/env bash
# The demo as a person sees it in a terminal: run in a pseudo-terminal
# (script), every line of its output must be whole (a label or the demo's own
# "==" line at its start) and the braille must arrive as the characters
# themselves, from the demo's labelled run and from a tool writing straight to
# Wine's console in the terminal.
#   check-demo.sh <source dir> <bin dir> <scratch dir>
# Uses the last cable of $BRL_CABLES or of the prefix's cables.env; exits 77
# (skip) when there is none or `script` is missing.
set -e
source="$(cd "$1" && pwd)"; bin="$(cd "$2" && pwd)"; work="$3"
export WINEPREFIX="${WINEPREFIX:-$(dirname "$bin")/wineprefix}" WINEDEBUG=-all
if [ -z "$BRL_CABLES" ] && [ -f "$WINEPREFIX/cables.env" ]; then . "$WINEPREFIX/cables.env"; fi
[ -n "$BRL_CABLES" ] || { echo "no virtual cable (see scripts/cables): skipped"; exit 77; }
command -v script >/dev/null || { echo "script (util-linux) missing: skipped"; exit 77; }
cable="${BRL_CABLES##* }"
rm -rf "$work"; mkdir -p "$work"
failed=0
fail() { echo "FAILED: $*"; failed=$((failed + 1)); }

rc=0
timeout 90 script -qec "bash '$source/scripts/demo' --cable $cable" "$work/demo.typescript" >/dev/null </dev/null || rc=$?
[ $rc = 0 ] || fail "the demo exited with $rc"
out=$(sed '1d;$d' "$work/demo.typescript" | tr -d '\r')
hello="⡓⠑⠇⠇⠕⠠⠀⠃⠗⠁⠊⠇⠇⠑⠮"   # "Hello, braille!" in the host's table
grep -q "^display | \[⠀⠀\] $hello" <<<"$out" || fail "the display's line with the text in braille"
grep -q "^host    | write \"Hello, braille!\": queued  $hello" <<<"$out" || fail "the host's write with braille beside it"
grep -q '^host    | key F1 0$' <<<"$out" || fail "the host's key line"
torn=$(grep -v -e '^display | ' -e '^host    | ' -e '^== ' -e '^   ' -e '^$' <<<"$out" || true)
[ -z "$torn" ] || fail "lines not whole: $torn"

# A tool on Wine's console in the terminal (no pipe): the characters, not their
# bytes encoded twice.
rc=0
timeout 60 script -qec "'$source/scripts/wine-run' '$bin/displaysim.exe' ${cable##*:} --script 'print ⠓⠊ é; quit'" \
  "$work/console.typescript" >/dev/null </dev/null || rc=$?
[ $rc = 0 ] || fail "displaysim on the console exited with $rc"
# (the first and last lines are script's own, with the command line in them)
sed '1d;$d' "$work/console.typescript" | grep -q '⠓⠊ é' || fail "braille on Wine's console: $(sed -n 3p "$work/console.typescript")"

if [ $failed != 0 ]; then cat "$work/demo.typescript"; echo "0 passed, 1 failed"; exit 1; fi
echo "1 passed, 0 failed"
