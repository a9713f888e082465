#!/bin/bash
# The bash completion offers commands, the options of the command at hand
# and the ciphers, and files where files belong.
set -u
source "$1"
fails=0
expect() {  # expect "WANTED" WORD...: completes the last word of the line
  local wanted=$1
  shift
  COMP_WORDS=(tresolin-cli "$@")
  COMP_CWORD=${#COMP_WORDS[@]}
  ((COMP_CWORD--))
  COMPREPLY=()
  _tresolin_cli
  if [[ "${COMPREPLY[*]}" != "$wanted" ]]; then
    echo "tresolin-cli $*: got '${COMPREPLY[*]}', want '$wanted'"
    fails=1
  fi
}
cd "$(mktemp -d)" || exit 1
touch brief.txt
mkdir Daten
expect "decrypt" dec
expect "encrypt encrypt-folder" enc
expect "--cipher" encrypt --ci
expect "aes rc4" encrypt --cipher ""
expect "--force" decrypt --f
expect "--force" encrypt-folder --pack --fo
expect "brief.txt" encrypt --cipher rc4 br
expect "Daten" encrypt-folder D
expect "verify" --quiet ver
rm -r "$PWD"
exit $fails
