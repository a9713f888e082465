#!/usr/bin/env bash
# Checks the zip for Windows users as they would meet it.
#
#   windows_zip_test.sh tresolin-windows-x86_64.zip [tresolin-windows-i686.zip]
#
# Each zip holds exactly its top folder with tresolin.exe, data/hourspin.exe,
# tresolin-cli.exe, README.md and LICENSE; the programs are stripped, made
# for their machine and import only DLLs every Windows has in its system
# folder (no compiler runtime, no zlib). The x86-64 program, unpacked, round-trips a file under Wine
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
  listed=$(unzip -Z1 "$zip" | grep -v "/$" | sort)
  expected=$(printf '%s\n' "$name/LICENSE" "$name/README.md" "$name/data/hourspin.exe" \
    "$name/tresolin-cli.exe" "$name/tresolin.exe" | sort)
  [ "$listed" = "$expected" ] || fail "$zip holds:"$'\n'"$listed"
  unzip -q "$zip" -d "$work"
  for program in tresolin.exe data/hourspin.exe tresolin-cli.exe; do
    exe=$work/$name/$program
    headers=$("$objdump" -p "$exe")
    grep -q "file format pei-$machine" <<<"$headers" || fail "$exe is not made for $machine"
    if "$objdump" -h "$exe" | grep -q '\.debug_'; then fail "$exe keeps its debug information"; fi
    for dll in $(sed -n 's/^\tDLL Name: //p' <<<"$headers" | tr 'a-z' 'A-Z'); do
      case $dll in
        ADVAPI32.DLL | COMCTL32.DLL | COMDLG32.DLL | GDI32.DLL | KERNEL32.DLL | MSVCRT.DLL | \
          OLE32.DLL | SHELL32.DLL | SHLWAPI.DLL | USER32.DLL) ;;
        *) fail "$exe imports $dll" ;;
      esac
    done
  done
  # The command line needs no window system at all.
  cli_imports=$("$objdump" -p "$work/$name/tresolin-cli.exe" | sed -n 's/^\tDLL Name: //p' |
    tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
  [ "$cli_imports" = "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL " ] ||
    fail "tresolin-cli.exe imports $cli_imports"
  exe=$work/$name/tresolin-cli.exe
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
