#!/usr/bin/env bash
# Checks the install and the Debian package without changing the machine:
# cmake --install into a temporary DESTDIR, and the .deb read with
# dpkg-deb, unpacked into a temporary folder and run from there, and linted
# with lintian.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 skipped=0
ok() { echo "ok   $1"; passed=$((passed + 1)); }

# Runs the tool at $1 on a sample and reads the man page at $2.
try_tool() {
	printf 'Hello, world!\n' >"$work/sample.bin"
	"$1" "$work/sample.bin" 7 1 57 | tail -n 1 | grep -qx 'Done!'
	grep -qx 'Hello, World!' "$work/sample.bin"
	MANPAGER=cat man -l "$2" 2>/dev/null | grep -q 'patch bytes of an existing file'
}

DESTDIR="$work/destdir" cmake --install "$build" --prefix /usr >/dev/null
try_tool "$work/destdir/usr/bin/bitmend" "$work/destdir/usr/share/man/man1/bitmend.1.gz"
ok "cmake --install into a DESTDIR: the tool patches, man reads its page"

cpack --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.txt" 2>&1 ||
	{ cat "$work/cpack.txt"; exit 1; }
deb=$(echo "$work"/package/bitmend_*.deb)
test "$(dpkg-deb -f "$deb" Package Version Architecture Section)" = \
	"$(printf 'Package: bitmend\nVersion: 1.0.0.1\nArchitecture: amd64\nSection: utils')"
dpkg-deb -f "$deb" Depends | grep -q '^libc6'
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for path in ./usr/bin/bitmend ./usr/share/man/man1/bitmend.1.gz \
	./usr/share/doc/bitmend/copyright ./usr/share/doc/bitmend/changelog.gz; do
	grep -qx "$path" <<<"$contents"
done
ok "$(basename "$deb"): its control fields and contents"

dpkg-deb -x "$deb" "$work/unpacked"
try_tool "$work/unpacked/usr/bin/bitmend" "$work/unpacked/usr/share/man/man1/bitmend.1.gz"
ok "the package unpacked into a folder: the tool patches, man reads its page"

if command -v lintian >/dev/null; then
	lintian --fail-on error --allow-root "$deb" >"$work/lintian.txt" ||
		{ cat "$work/lintian.txt"; exit 1; }
	ok "lintian finds no error"
elif [ "${BITMEND_NO_SKIPS:-}" = 1 ]; then
	echo "FAIL lintian: not installed, and BITMEND_NO_SKIPS is set"
	exit 1
else
	echo "skip lintian: needs lintian"
	skipped=1
fi
echo "$passed passed, 0 failed, $skipped skipped"
