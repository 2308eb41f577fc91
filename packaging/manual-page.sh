#!/bin/sh
# Makes the gzipped manual page of a host tool from its --help texts: the program's, then each
# command's, as help2man lays them out. manual-page.sh PROGRAM OUT.1.gz
set -eu
program=$1 out=$2 name=$(basename "$1")
extra=$(mktemp) && trap 'rm -f "$extra"' EXIT
case $name in
  bmimage) summary="makes, packs, lists and extracts the switch's images and packages"; commands="create pack info extract" ;;
  bmsim) summary="the switch's simulated board: makes boards and boots the boot manager on them"; commands="new env eeprom flash usb boot log" ;;
  *) echo "manual-page.sh: no manual page for $name" >&2; exit 1 ;;
esac
{
  echo "[COMMANDS]"
  for command in $commands; do
    echo ".SS $command"
    echo ".nf"
    "$program" "$command" --help | sed "s/\\\\/\\\\e/g; s/^[.']/\\\\\&&/"
    echo ".fi"
  done
} >"$extra"
# a line of the --help text that starts with a quote would be a request to groff
help2man --no-info --no-discard-stderr --name="$summary" --include="$extra" "$program" |
  sed "s/^'/\\\\\&'/" | gzip -9n >"$out"
