#!/usr/bin/env bash
# Builds and runs every test, and checks the README's examples and walkthrough
# (tests/docs/readme_test.sh). First, on both systems: every source's tests
# (scripts/check-layers.sh, which after each build also holds what the
# compiler read to the layers), and the scripts with shellcheck where it is
# installed. On Linux: the layout of every C and C++ file
# (clang-format), GCC Release, then Clang Debug with
# AddressSanitizer and UndefinedBehaviorSanitizer; then each fuzzer for a
# bounded time, the cross-build for macOS with its package, the signing
# script's dry run on its Example.app, and the lint of the CI workflow. On a
# Mac: a Release build with the tests for this Mac's own architecture
# (Homebrew's GoogleTest holds only that one), a universal
# (arm64 and x86_64, macOS 11) Release build of the products with the tests
# off, checked with lipo, otool and nm, the signing script's dry run on the
# Release build's Example.app, then the sanitizer build; the steps
# only Linux can run are skipped with a line each. Warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need "${BRINDLECAST_BUILD_TOOLS[@]}" "${BRINDLECAST_TEST_TOOLS[@]}"
want "${BRINDLECAST_OPTIONAL_TEST_TOOLS[@]}"
want_comma_locale

build() {
  local name=$1 dir=build/$1
  shift
  echo "== $name: configure and build"
  cmake -S . -B "$dir" -G Ninja -DBRINDLECAST_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== $name: every file the compiler read follows the libraries its folder links"
  scripts/check-layers.sh "$dir"
}
run_suite() {
  build "$@"
  echo "== $1: test"
  (cd "build/$1" && ctest --output-on-failure -j "$jobs")
}
skipped() { echo "== $1: SKIPPED on macOS: $2"; }

# Every script as shellcheck reads it, where it is installed; a finding that
# is meant carries a disable line that says why.
check_scripts() {
  if ! command -v shellcheck >/dev/null; then
    echo "== shellcheck: SKIPPED: not installed (see scripts/deps.sh)"
    return 0
  fi
  echo "== shellcheck"
  shellcheck -x scripts/*.sh || fail "shellcheck finds faults in scripts/"
}

# Every C and C++ file as .clang-format lays it out.
check_format() {
  echo "== format: clang-format-$llvm"
  find src include tests fuzz bench \( -name '*.[ch]' -o -name '*.[ch]pp' \) \
    -exec "clang-format-$llvm" --dry-run --Werror {} + || fail "files differ from .clang-format; see Formatting in docs/building.md"
}

# The universal build holds both architectures, brindlecast-state finds the
# library through its rpath, the launcher needs only the system's libraries,
# the library and brindlecast-state carry libarchive and libsodium (they
# load nothing else), and the library exports only the C API and never
# refers to environ.
check_universal() {
  local dir=$1 file lib=$1/src/client/libbrindlecast-client.0.dylib
  for file in "$dir/brindlecast-launcher" "$dir/brindlecast-state" "$lib" "$dir/examples/demo-client/demo-client"; do
    check_archs "$file"
  done
  check_loads "$dir/brindlecast-state" @rpath/libbrindlecast-client.0.dylib
  check_system_only "$dir/brindlecast-state" @rpath/libbrindlecast-client.0.dylib
  check_system_only "$dir/brindlecast-launcher"
  check_system_only "$lib" @rpath/libbrindlecast-client.0.dylib
  check_client_library "$lib"
  no_faults "$dir"
  echo "== macos-universal: arm64 and x86_64 in every binary; brindlecast-state loads @rpath/libbrindlecast-client.0.dylib" \
    "and the library nothing but the system's libraries; the library exports only brindlecast_*"
}

# scripts/sign-macos.sh --dry-run on an Example.app prints its commands in order.
check_signing() {
  if [ -d "$1" ]; then
    bash tests/package/sign_macos_test.sh "$1"
  else
    echo "== sign-macos: SKIPPED: there is no $1 (the macOS build makes it)"
  fi
}

echo "== layers: every source has its tests"
scripts/check-layers.sh
check_scripts
case $os in
  Darwin)
    run_suite macos-release -DCMAKE_BUILD_TYPE=Release
    bash tests/docs/readme_test.sh README.md build/macos-release
    check_signing build/macos-release/Example.app
    # The tests would have to link both slices against a GoogleTest of one.
    # libarchive and libsodium are built universal by scripts/macos-deps.sh,
    # as Homebrew's hold one architecture too; they are named outright, so
    # that no library an earlier configure found stays in the cache.
    scripts/macos-deps.sh
    deps=$brindlecast_cache/macos-deps/universal-$macos
    build macos-universal -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "-DCMAKE_OSX_ARCHITECTURES=arm64;x86_64" \
      -DCMAKE_OSX_DEPLOYMENT_TARGET=$macos -DCMAKE_PREFIX_PATH="$deps" \
      -DBRINDLECAST_ARCHIVE_INCLUDE_DIR="$deps/include" -DBRINDLECAST_ARCHIVE_LIBRARY="$deps/lib/libarchive.a" \
      -DBRINDLECAST_SODIUM_INCLUDE_DIR="$deps/include" -DBRINDLECAST_SODIUM_LIBRARY="$deps/lib/libsodium.a"
    check_universal build/macos-universal
    run_suite clang-sanitize -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DBRINDLECAST_SANITIZE=ON
    skipped fuzz "Apple's clang has no libFuzzer (scripts/fuzz.sh takes another clang++ in BRINDLECAST_FUZZ_CXX)"
    skipped memcheck "valgrind does not run on macOS; the sanitizer build checks memory"
    skipped power-cut "it shuts down an ext4 file system on a Linux loop device"
    skipped package-deb "Debian packages are built and checked on Debian"
    skipped format "the layout is clang-format $llvm's, which Homebrew does not ship; Linux checks it"
    skipped cross-macos "the Zig cross-build stands in for a Mac on Linux; this Mac built natively above"
    ;;
  *)
    check_format
    run_suite gcc-release -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++
    bash tests/docs/readme_test.sh README.md build/gcc-release
    run_suite clang-sanitize -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DBRINDLECAST_SANITIZE=ON
    scripts/fuzz.sh
    scripts/cross-macos.sh
    scripts/package-macos.sh
    check_signing build/macos-universal/Example.app
    scripts/lint-workflow.sh
    ;;
esac
echo "== all test suites passed"
