#!/usr/bin/env bash
# Checks an installed Tresolin tree as a user's system would see it.
#
#   installed_tree_test.sh install BUILD_DIR ON|OFF   (ON: the window programs are built)
#     runs `cmake --install BUILD_DIR --prefix TMP` and checks TMP.
#   installed_tree_test.sh deb PACKAGE.deb
#     checks `dpkg-deb -c`, unpacks the package with `dpkg-deb -x` and checks
#     its usr/ tree; runs lintian where it is installed (no error allowed).
#
# Either way the tree holds exactly the expected files, its tresolin-cli
# round-trips a file with both ciphers, the menu entry validates, the file
# types resolve through shared-mime-info, and both manual pages render
# without a warning.
set -euo pipefail

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

need() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/deps installs it)"
  done
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The files below the prefix, one a line; GUI ON adds the window's share.
expected_files() {
  local gui=$1
  cat <<'EOF'
bin/tresolin-cli
share/bash-completion/completions/tresolin-cli
share/doc/tresolin/LICENSE
share/doc/tresolin/README.md
share/doc/tresolin/changelog.gz
share/doc/tresolin/copyright
share/man/man1/tresolin-cli.1.gz
EOF
  if [ "$gui" = ON ]; then
    cat <<'EOF'
bin/tresolin
libexec/tresolin/hourspin
share/applications/tresolin.desktop
share/icons/hicolor/scalable/apps/tresolin.svg
share/man/man1/tresolin.1.gz
share/mime/packages/tresolin.xml
EOF
    for size in 16 22 24 32 48 64 128 256; do
      echo "share/icons/hicolor/${size}x${size}/apps/tresolin.png"
    done
  fi
}

# compare_lists NAME EXPECTED ACTUAL: both sorted, one path a line.
compare_lists() {
  if ! diff -u "$2" "$3" >"$work/list.diff"; then
    cat "$work/list.diff" >&2
    fail "$1: the file list differs from the expected one (- expected, + found)"
  fi
}

# check_files PREFIX GUI: exactly the expected files, with sane modes.
check_files() {
  local prefix=$1 gui=$2
  expected_files "$gui" | LC_ALL=C sort >"$work/expected"
  (cd "$prefix" && find . -type f -o -type l) | sed 's|^\./||' | LC_ALL=C sort >"$work/found"
  compare_lists "$prefix" "$work/expected" "$work/found"
  for program in bin/tresolin-cli bin/tresolin libexec/tresolin/hourspin; do
    [ -e "$prefix/$program" ] || continue
    [ -x "$prefix/$program" ] || fail "$program is not executable"
    # A run path into the build tree would make the installed program load
    # whatever lies there later.
    if readelf -d "$prefix/$program" | grep -Eq 'RPATH|RUNPATH'; then
      fail "$program carries a run path: $(readelf -d "$prefix/$program" | grep -E 'RPATH|RUNPATH')"
    fi
  done
  if [ "$gui" = ON ]; then
    # Each PNG is as large as the folder it sits in says (IHDR at byte 16).
    for png in "$prefix"/share/icons/hicolor/*x*/apps/tresolin.png; do
      local folder size
      folder=$(basename "$(dirname "$(dirname "$png")")")
      size=$(od -An -tu1 -j16 -N8 "$png" | awk '{print $3*256+$4 "x" $7*256+$8}')
      [ "$size" = "$folder" ] || fail "$png is $size, its folder says $folder"
    done
  fi
}

# round_trip PREFIX: the installed command line, away from the build tree,
# encrypts and decrypts with both ciphers (AES packed binds the embedded
# engine, RC4 packed goes through the zip code).
round_trip() {
  local cli=$1/bin/tresolin-cli
  local dir=$work/round-trip
  mkdir -p "$dir"
  printf 'geheim\n' >"$dir/password"
  head -c 300000 /dev/urandom >"$dir/brief.txt"
  seq 1 40000 >>"$dir/brief.txt"
  for cipher in aes rc4; do
    env -i PATH=/usr/bin:/bin "$cli" encrypt --quiet --cipher "$cipher" --pack \
      --password-file "$dir/password" --output "$dir/brief.$cipher" "$dir/brief.txt" \
      2>"$dir/log" || fail "tresolin-cli encrypt --cipher $cipher: $(cat "$dir/log")"
    mkdir "$dir/out-$cipher"
    env -i PATH=/usr/bin:/bin "$cli" decrypt --quiet --password-file "$dir/password" \
      "$dir/brief.$cipher" "$dir/out-$cipher" \
      2>"$dir/log" || fail "tresolin-cli decrypt of the $cipher container: $(cat "$dir/log")"
    cmp "$dir/brief.txt" "$dir/out-$cipher/brief.txt" ||
      fail "the $cipher round trip changed the file"
  done
}

# desktop_checks PREFIX: menu entry, file types, manual pages.
desktop_checks() {
  local prefix=$1 gui=$2
  need man
  local page warnings
  for page in "$prefix"/share/man/man1/*.1.gz; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$(basename "$page") renders with warnings: $warnings"
    MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q '^NAME' || fail "$page renders no NAME section"
  done
  [ "$gui" = ON ] || return 0

  need desktop-file-validate update-mime-database xdg-mime
  local entry=$prefix/share/applications/tresolin.desktop report
  # Hints are suggestions; errors and warnings are not.
  report=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $report"
  if grep -Eq 'error:|warning:' <<<"$report"; then
    fail "desktop-file-validate: $report"
  fi

  XDG_DATA_DIRS=$prefix/share update-mime-database "$prefix/share/mime"
  local files=$work/types
  mkdir -p "$files" "$work/empty-home"
  local name type
  for name in x.aes x.aespk x.rc4 x.rc4pk brief.txt; do
    head -c 64 /dev/urandom >"$files/$name"
  done
  # Only the installed tree answers: no system or user database.
  for pair in x.aes:application/x-tresolin-aes x.aespk:application/x-tresolin-aes \
              x.rc4:application/x-tresolin-rc4 x.rc4pk:application/x-tresolin-rc4; do
    name=${pair%%:*}
    type=$(XDG_DATA_DIRS=$prefix/share XDG_DATA_HOME=$work/empty-home \
           xdg-mime query filetype "$files/$name")
    [ "$type" = "${pair#*:}" ] || fail "xdg-mime says $name is '$type', not ${pair#*:}"
  done
  # The menu entry offers exactly the types the database defines.
  local offered defined
  offered=$(sed -n 's/^MimeType=//p' "$entry" | tr ';' '\n' | sed '/^$/d' | sort)
  defined=$(sed -n 's/.*<mime-type type="\([^"]*\)".*/\1/p' \
            "$prefix/share/mime/packages/tresolin.xml" | sort)
  [ "$offered" = "$defined" ] || fail "MimeType= offers '$offered', the database defines '$defined'"
}

mode=${1:-}
case "$mode" in
  install)
    [ $# -eq 3 ] || fail "usage: $0 install BUILD_DIR ON|OFF"
    build=$2 gui=$3
    prefix=$work/prefix
    cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
      { cat "$work/install.log" >&2; fail "cmake --install failed"; }
    check_files "$prefix" "$gui"
    round_trip "$prefix"
    desktop_checks "$prefix" "$gui"
    ;;
  deb)
    [ $# -eq 2 ] || fail "usage: $0 deb PACKAGE.deb"
    deb=$2
    need dpkg-deb
    # The listing of the archive itself, before anything is unpacked.
    expected_files ON | sed 's|^|./usr/|' | LC_ALL=C sort >"$work/expected"
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | LC_ALL=C sort >"$work/found"
    compare_lists "dpkg-deb -c $deb" "$work/expected" "$work/found"
    dpkg-deb -x "$deb" "$work/root"
    check_files "$work/root/usr" ON
    round_trip "$work/root/usr"
    desktop_checks "$work/root/usr" ON
    if command -v lintian >/dev/null; then
      # --fail-on error: warnings are listed, only errors fail.
      lintian --fail-on error --display-info "$deb" || fail "lintian reports errors"
    else
      echo "lintian not installed: package not linted"
    fi
    ;;
  *)
    fail "usage: $0 install BUILD_DIR ON|OFF | deb PACKAGE.deb"
    ;;
esac
echo "ok: $mode"
