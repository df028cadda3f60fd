#!/usr/bin/env bash
# The whole suite: a warning-free build, then one under AddressSanitizer and
# UndefinedBehaviorSanitizer, each with all its tests.
set -euo pipefail
cd "$(dirname "$0")/.."
run_build() {
	local dir=$1
	shift
	cmake -S . -B "$dir" -DBITMEND_WERROR=ON "$@" >/dev/null
	cmake --build "$dir" -j 2
	ctest --test-dir "$dir" --output-on-failure
}
run_build build-test
run_build build-sanitize -DBITMEND_SANITIZE=ON
