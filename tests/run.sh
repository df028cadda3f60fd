#!/usr/bin/env bash
# The whole suite: installs what is missing; builds the Windows program; then
# a warning-free native build, whose tests include the fault attacks and the
# Windows tests under Wine, and a clang build under AddressSanitizer and
# UndefinedBehaviorSanitizer with the fuzz target and its one-minute run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash .ci/install-tools
build() {
	local dir=$1
	shift
	cmake -S . -B "$dir" -DBITMEND_WERROR=ON "$@" >/dev/null
	cmake --build "$dir" -j 2
}
build build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	-DCMAKE_BUILD_TYPE=Release
build build-test -DBITMEND_WINDOWS_BUILD="$PWD/build-windows"
build build-sanitize -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
	-DBITMEND_SANITIZE=ON -DBITMEND_FUZZ=ON
ctest --test-dir build-sanitize --output-on-failure
ctest --test-dir build-test --output-on-failure
