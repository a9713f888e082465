#!/usr/bin/env bash
# Containers that the Windows window makes when driven open with the Linux
# tresolin-cli: the driven tests keep their containers, and the Linux
# program verifies each and restores the file ones to the very bytes the
# window protected.
#
#   linux_opens_window_containers.sh LINUX_CLI WINSHELL_TESTS
#
# Run with Wine's server and a display up (scripts/wine-ctest does that).
set -euo pipefail
linux_cli=$1
tests=$2
wine=${WINE:-/usr/lib/wine/wine64}

keep=$(mktemp -d)
trap 'rm -rf "$keep"' EXIT
TRESOLIN_KEEP_CONTAINERS=$keep "$wine" "$tests" \
  --gtest_filter='DrivenWindow.FileGoesThrough*:DrivenWindow.FolderGoesThrough*' >"$keep/log" 2>&1 ||
  { cat "$keep/log"; exit 1; }

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# opens CONTAINER PASSWORD: verified and, for a file container, restored.
opens() {
  local container=$keep/$1
  [ -f "$container" ] || { fail "the window made no $1"; return; }
  TRESOLIN_PASSWORD=$2 "$linux_cli" --quiet verify "$container" >/dev/null 2>"$keep/err" ||
    fail "$1 does not verify: $(cat "$keep/err")"
}
opens brief.aes 'Geheim äöü'
opens brief.rc4 'zweites Passwort'
opens akten.rc4 'Ordnerpasswort'
for cipher in aes rc4; do
  password='Geheim äöü'
  [ $cipher = rc4 ] && password='zweites Passwort'
  TRESOLIN_PASSWORD=$password "$linux_cli" --quiet decrypt "$keep/brief.$cipher" \
    "$keep/zurueck.$cipher" >/dev/null 2>"$keep/err" || fail "brief.$cipher: $(cat "$keep/err")"
  cmp -s "$keep/brief.txt" "$keep/zurueck.$cipher" || fail "brief.$cipher restores other bytes"
done
mkdir "$keep/ordner"
TRESOLIN_PASSWORD=Ordnerpasswort "$linux_cli" --quiet decrypt "$keep/akten.rc4" "$keep/ordner" \
  >/dev/null 2>"$keep/err" || fail "akten.rc4: $(cat "$keep/err")"
[ "$(cat "$keep/ordner/akten/a.txt" 2>/dev/null)" = "erste Akte" ] ||
  fail "akten.rc4 restores another a.txt"

if [ "$failures" -ne 0 ]; then
  echo "$failures failures" >&2
  exit 1
fi
echo "ok: the Linux tresolin-cli opens the window's containers"
