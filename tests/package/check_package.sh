#!/bin/sh
# Makes the Debian package of a build folder with cpack, into a temporary folder, and checks its
# architecture and files: check_package.sh BUILD ARCH PATH... ("host": the host's architecture;
# a PATH with a leading ! must not be in the package). An installed bmsim must look for its
# pieces beside itself: without the program there, it names the one it missed.
# Faults tried: the host's bootmanager installed into sbin -> the host build's check fails;
# no packaging prefix "/" for the target -> /sbin/bootmanager missing, the target's check fails;
# bmsim ignoring its installed pieces -> the host build's check fails. lintian must report no
# error (its tags and their explanations are printed): a maintainer address at localhost -> both
# checks fail on bogus-mail-host.
set -eu
build=$1 arch=$2 out=$(mktemp -d) && shift 2 && trap 'rm -rf "$out"' EXIT
[ "$arch" = host ] && arch=$(dpkg --print-architecture)
(cd "$build" && cpack -B "$out" >"$out/cpack.log") || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/*.deb)
dpkg-deb -I "$deb" | grep -q "^ Architecture: $arch\$" || { dpkg-deb -I "$deb"; echo "not for $arch"; exit 1; }
files=$(dpkg-deb -c "$deb" | sed 's/.* \.\///')
for path; do
  case $path in
    !*) ! echo "$files" | grep -qx "${path#!}" || { echo "$files"; echo "${path#!} is in the package"; exit 1; } ;;
    *) echo "$files" | grep -qx "$path" || { echo "$files"; echo "$path is missing"; exit 1; } ;;
  esac
done
lintian --fail-on error --display-info --info "$deb" || { echo "lintian reports errors on $(basename "$deb")"; exit 1; }
if echo "$files" | grep -qx usr/bin/bmsim; then
  dpkg-deb -x "$deb" "$out/root" && rm "$out/root/usr/lib/bmsim/bootmanager" && "$out/root/usr/bin/bmsim" new "$out/board"
  "$out/root/usr/bin/bmsim" boot "$out/board" --timeout 10 </dev/null 2>&1 | grep "program '$out/root/usr/lib/bmsim/bootmanager' not found"
fi
