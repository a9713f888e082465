#!/usr/bin/env bash
# tresolin-cli.exe under Wine keeps the command line's promises: pipes carry
# bytes unchanged both ways (CR, LF and Ctrl-Z included), each failure has
# its exit code and names its cause, an existing file is never replaced
# without --force, and a failed run leaves no working folder.
#
#   windows_cli_test.sh WINDOWS_CLI
#
# Run with Wine's server already up (scripts/wine-ctest does that).
set -euo pipefail
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
wine=${WINE:-/usr/lib/wine/wine64}
export WINEDEBUG=${WINEDEBUG:--all}
export TRESOLIN_PASSWORD=geheim

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
cli() { "$wine" "$exe" --quiet "$@"; }
# expect CODE TEXT COMMAND...: the run ends with CODE and says TEXT.
expect() {
  local code=$1 text=$2
  shift 2
  local got=0
  cli "$@" >out.txt 2>err.txt || got=$?
  [ "$got" = "$code" ] || fail "$*: exit $got, not $code ($(cat err.txt))"
  cat out.txt err.txt | grep -qF -- "$text" || fail "$*: says '$(cat err.txt)', not '$text'"
}

# Line ends and the old end-of-file byte pass untouched.
printf 'eins\r\nzwei\ndrei\r\x1avier\n\x00\xff' >daten.txt
head -c 100000 /dev/urandom >>daten.txt

# ----------------------------------------------------------------- pipes
code=0
cli encrypt --output aus-pipe.aes - <daten.txt >/dev/null 2>err.txt || code=$?
[ "$code" = 0 ] || fail "encrypt from a pipe: exit $code: $(cat err.txt)"
code=0
cli decrypt aus-pipe.aes - >zurueck.txt 2>err.txt || code=$?
[ "$code" = 0 ] || fail "decrypt to a pipe: exit $code: $(cat err.txt)"
cmp -s daten.txt zurueck.txt || fail "the pipes changed the bytes"

# ------------------------------------------------- failures and their codes
cli encrypt daten.txt >/dev/null 2>&1 || fail "encrypt daten.txt"
printf 'anders\n' >anders.txt
expect 3 "Passwort" decrypt --password-file anders.txt daten.aes neu.txt
printf 'kein Container, nur Text' >fremd.aes
expect 4 "fremd.aes" decrypt fremd.aes neu.txt
# Damage shows where the body carries a checksum: a compressed block.
for i in $(seq 3000); do echo "Zeile $i des Briefes"; done >brief.txt
cli encrypt brief.txt >/dev/null 2>&1 || fail "encrypt brief.txt"
printf '\x55' | dd of=brief.aes bs=1 seek=100 conv=notrunc status=none
expect 5 "beschädigt" verify brief.aes
expect 1 "nicht gefunden" encrypt fehlt.txt
echo "Nutzerdaten" >daten
expect 1 "daten" decrypt daten.aes
[ "$(cat daten)" = "Nutzerdaten" ] || fail "decrypt replaced an existing file without --force"
cli decrypt --force daten.aes daten >/dev/null 2>&1 || fail "decrypt --force"
cmp -s daten.txt daten || fail "decrypt --force restored other bytes"
expect 0 "Kennung" info daten.aes

# Nothing of any run is left behind.
leftovers=$(find . -name '.tresolin-work-*')
[ -z "$leftovers" ] || fail "working folders left: $leftovers"

if [ "$failures" -ne 0 ]; then
  echo "$failures failures" >&2
  exit 1
fi
echo "ok: tresolin-cli.exe"
