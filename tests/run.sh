#!/usr/bin/env bash
# The whole suite, with the tools already installed (.ci/install-tools):
# builds the Windows program, then a warning-free native build, whose tests
# include the fault attacks and the Windows tests under Wine, and a clang
# build under AddressSanitizer and UndefinedBehaviorSanitizer with the fuzz
# target and its fixed run. Rows that need root or a missing tool skip with
# a reason; the last line counts them.
set -euo pipefail
cd "$(dirname "$0")/.."
build() {
	local dir=$1
	shift
	cmake -S . -B "$dir" -DBITMEND_WERROR=ON "$@"
	cmake --build "$dir" -j 2
}
build build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	-DCMAKE_BUILD_TYPE=Release
build build-test -DBITMEND_WINDOWS_BUILD="$PWD/build-windows"
build build-sanitize -DCMAKE_CXX_COMPILER=clang++ -DBITMEND_SANITIZE=ON \
	-DBITMEND_FUZZ=ON
# Each CTest test is counted once; a skip is a row or check inside one.
status=0
for dir in build-sanitize build-test; do
	ctest --test-dir "$dir" --output-on-failure | tee "$dir/ctest.txt" ||
		status=1
done
logs=(build-sanitize/Testing/Temporary/LastTest.log
	build-test/Testing/Temporary/LastTest.log)
grep -h '^skip ' "${logs[@]}" || true
skipped=$(grep -ho '^[0-9]* passed, [0-9]* failed, [0-9]* skipped$' "${logs[@]}" |
	awk '{n += $5} END {print n + 0}')
awk -v skipped="$skipped" '/tests passed, [0-9]+ tests? failed out of/ {
		failed += $4; total += $NF }
	END { print "suite: " total - failed " passed, " failed " failed, " skipped " skipped" }' \
	build-sanitize/ctest.txt build-test/ctest.txt
exit $status
