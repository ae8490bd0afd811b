#!/usr/bin/env bash
# Builds and runs every test twice: GCC Release, then Clang Debug with
# AddressSanitizer and UndefinedBehaviorSanitizer; warnings are errors. Then
# runs each fuzzer for a bounded time, and cross-builds for macOS.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
brindlecast_need_packages "${BRINDLECAST_BUILD_PACKAGES[@]}" "${BRINDLECAST_TEST_PACKAGES[@]}"
brindlecast_want_packages "${BRINDLECAST_OPTIONAL_TEST_PACKAGES[@]}"
brindlecast_want_comma_locale

jobs=$(nproc)
run_suite() {
  local name=$1 dir=build/$1
  shift
  echo "== $name: configure and build"
  cmake -S . -B "$dir" -G Ninja -DBRINDLECAST_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== $name: test"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

run_suite gcc-release -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++
run_suite clang-sanitize -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DBRINDLECAST_SANITIZE=ON
scripts/fuzz.sh
scripts/cross-macos.sh
echo "== all test suites passed"
