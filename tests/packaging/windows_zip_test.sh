#!/usr/bin/env bash
# Checks the zip for Windows users as they would meet it.
#
#   windows_zip_test.sh tresolin-windows-x86_64.zip [tresolin-windows-i686.zip]
#
# Each zip holds exactly its top folder with tresolin-cli.exe, README.md and
# LICENSE; the program is stripped, made for its machine and imports only
# system DLLs. The x86-64 program, unpacked, round-trips a file under Wine
# (this machine runs no 32-bit programs). Run with Wine's server up, as
# scripts/wine-ctest does.
set -euo pipefail
wine=${WINE:-/usr/lib/wine/wine64}
export WINEDEBUG=${WINEDEBUG:--all}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for zip in "$@"; do
  name=$(basename "$zip" .zip)
  case $name in
    *-x86_64) machine=x86-64 objdump=x86_64-w64-mingw32-objdump ;;
    *-i686) machine=i386 objdump=i686-w64-mingw32-objdump ;;
    *) fail "$zip: no architecture in its name" ;;
  esac
  listed=$(unzip -Z1 "$zip" | sort)
  expected=$(printf '%s\n' "$name/LICENSE" "$name/README.md" "$name/tresolin-cli.exe")
  [ "$listed" = "$expected" ] || fail "$zip holds:"$'\n'"$listed"
  unzip -q "$zip" -d "$work"
  exe=$work/$name/tresolin-cli.exe
  headers=$("$objdump" -p "$exe")
  grep -q "file format pei-$machine" <<<"$headers" || fail "$exe is not made for $machine"
  if "$objdump" -h "$exe" | grep -q '\.debug_'; then fail "$exe keeps its debug information"; fi
  imports=$(sed -n 's/^\tDLL Name: //p' <<<"$headers" | tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
  [ "$imports" = "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL " ] ||
    fail "$exe imports $imports"
  if [ "$machine" = x86-64 ]; then
    cd "$work"
    head -c 200000 /dev/urandom >"Tägliche Notiz.txt"
    cp "Tägliche Notiz.txt" original
    TRESOLIN_PASSWORD=geheim "$wine" "$exe" --quiet encrypt --replace "Tägliche Notiz.txt" >/dev/null ||
      fail "encrypt under Wine"
    [ ! -e "Tägliche Notiz.txt" ] || fail "--replace kept the original"
    TRESOLIN_PASSWORD=geheim "$wine" "$exe" --quiet decrypt "Tägliche Notiz.aes" "Tägliche Notiz.txt" >/dev/null ||
      fail "decrypt under Wine"
    cmp -s original "Tägliche Notiz.txt" || fail "the round trip changed the file"
    cd - >/dev/null
  fi
  echo "ok: $name"
done
