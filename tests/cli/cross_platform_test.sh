#!/usr/bin/env bash
# Containers travel between Linux and Windows: the Linux tresolin-cli and
# tresolin-cli.exe (under Wine) encrypt the same inputs with the same
# password. Plain file containers must be equal byte for byte; the kinds
# that hold a zip differ in its system fields, so each side opens the
# other's and the restored bytes and names must equal the inputs. Names
# carry umlauts and characters that code page 850 lacks, the password a
# character of Windows-1252's upper half.
#
#   cross_platform_test.sh LINUX_CLI WINDOWS_CLI
#
# Run with Wine's server already up (scripts/wine-ctest does that).
set -euo pipefail
linux_cli=$1
windows_cli=$2
wine=${WINE:-/usr/lib/wine/wine64}
export WINEDEBUG=${WINEDEBUG:--all}
export TRESOLIN_PASSWORD='Schlüssel €uro'

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
on_linux() { "$linux_cli" --quiet "$@" >/dev/null 2>linux.err || { cat linux.err >&2; return 1; }; }
on_windows() { "$wine" "$windows_cli" --quiet "$@" >/dev/null 2>windows.err || { cat windows.err >&2; return 1; }; }

# The inputs: a compressible text and random bytes, and a folder whose names
# need the zip's UTF-8 path field ("片", "Ω" are not in code page 850).
mkdir -p in/"Ordner Ä"/"ä ö"/leer in/"Ordner Ä"/片
python3 - <<'EOF'
import os, random
random.seed(17)
words = ["Grüße", "Tresor", "Schlüssel", "Datei", "öffnen", "Ordner"]
with open("in/Grüße.txt", "w", encoding="utf-8") as f:
    for i in range(20000):
        f.write(random.choice(words) + (" " if i % 9 else "\n"))
with open("in/daten.bin", "wb") as f:
    f.write(os.urandom(300_000))
with open("in/Ordner Ä/ä ö/Brief.txt", "w", encoding="utf-8") as f:
    f.write("Sehr geehrte Damen und Herren,\n" * 500)
with open("in/Ordner Ä/片/Ω.bin", "wb") as f:
    f.write(os.urandom(70_000))
open("in/Ordner Ä/leere Datei", "wb").close()
EOF

# ---------------------------------------------------------------- files
for cipher in aes rc4; do
  for pack in "" --pack; do
    kind="$cipher${pack:+ gepackt}"
    for file in Grüße.txt daten.bin; do
      stem=${file%%.*}
      rm -rf L W
      mkdir L W
      cp "in/$file" L/
      cp "in/$file" W/
      on_linux encrypt --cipher $cipher $pack "L/$file" || { fail "$kind $file: Linux encrypt"; continue; }
      on_windows encrypt --cipher $cipher $pack "W/$file" || { fail "$kind $file: Windows encrypt"; continue; }
      container=$stem.$cipher
      if [ -z "$pack" ] && ! cmp -s "L/$container" "W/$container"; then
        fail "$kind $file: the containers differ"
      fi
      # Each side restores the other's container.
      rm -rf L/out W/out
      mkdir L/out W/out
      if [ -z "$pack" ]; then
        on_linux decrypt "W/$container" "L/out/$file" || fail "$kind $file: Linux opens Windows'"
        on_windows decrypt "L/$container" "W/out/$file" || fail "$kind $file: Windows opens Linux'"
      else
        on_linux decrypt "W/$container" L/out || fail "$kind $file: Linux opens Windows'"
        on_windows decrypt "L/$container" W/out || fail "$kind $file: Windows opens Linux'"
      fi
      cmp -s "in/$file" "L/out/$file" || fail "$kind $file: restored on Linux"
      cmp -s "in/$file" "W/out/$file" || fail "$kind $file: restored on Windows"
    done
  done
done

# -------------------------------------------------------------- folders
for cipher in aes rc4; do
  for pack in "" --pack; do
    kind="$cipher${pack:+ gepackt} Ordner"
    rm -rf L W
    mkdir -p L/out W/out
    on_linux encrypt-folder --cipher $cipher $pack "in/Ordner Ä" L || { fail "$kind: Linux encrypt"; continue; }
    on_windows encrypt-folder --cipher $cipher $pack "in/Ordner Ä" W || { fail "$kind: Windows encrypt"; continue; }
    container="Ordner Ä.$cipher"
    on_linux verify "W/$container" || fail "$kind: Linux verifies Windows'"
    on_windows verify "L/$container" || fail "$kind: Windows verifies Linux'"
    on_linux decrypt "W/$container" L/out || fail "$kind: Linux opens Windows'"
    on_windows decrypt "L/$container" W/out || fail "$kind: Windows opens Linux'"
    # Restored with every name and byte; the empty folder is the archive's
    # business, not compared.
    diff -r "in/Ordner Ä" "L/out/Ordner Ä" -x leer >/dev/null || fail "$kind: restored on Linux"
    diff -r "in/Ordner Ä" "W/out/Ordner Ä" -x leer >/dev/null || fail "$kind: restored on Windows"
  done
done

if [ "$failures" -ne 0 ]; then
  echo "$failures failures" >&2
  exit 1
fi
echo "ok: containers cross between Linux and Windows"
