#!/usr/bin/env bash
# Installs a build into a temporary prefix and runs the installed tool; then
# builds the .deb and, as root with no bitmend package present, installs it
# with dpkg, runs it and removes it again.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -f "$work/prefix/share/man/man1/bitmend.1"
printf 'Hello, world!\n' >"$work/sample.bin"
"$work/prefix/bin/bitmend" "$work/sample.bin" 7 1 57 | tail -n 1 | grep -qx 'Done!'
grep -qx 'Hello, World!' "$work/sample.bin"
echo "ok   installed into a prefix and patched a file"

cpack --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null
deb=$(echo "$work"/package/bitmend_*.deb)
contents=$(dpkg-deb -c "$deb")
grep -q ' ./usr/bin/bitmend$' <<<"$contents"
grep -q ' ./usr/share/man/man1/bitmend.1$' <<<"$contents"
dpkg-deb -f "$deb" Depends | grep -q libc6
echo "ok   $(basename "$deb") holds the tool and its man page"

if [ "$(id -u)" = 0 ] && ! dpkg -s bitmend >/dev/null 2>&1; then
	dpkg -i "$deb" >/dev/null
	printf 'Hello, world!\n' >"$work/sample.bin"
	/usr/bin/bitmend "$work/sample.bin" 7 1 57 | tail -n 1 | grep -qx 'Done!'
	test -f /usr/share/man/man1/bitmend.1
	dpkg -r bitmend >/dev/null
	test ! -e /usr/bin/bitmend && test ! -e /usr/share/man/man1/bitmend.1
	echo "ok   dpkg -i installed it and dpkg -r removed it"
else
	echo "skip dpkg -i and -r: not root, or a bitmend package is installed"
fi
