#!/usr/bin/env bash
# Builds, for the macOS builds that ship, the static libraries that the
# client library and brindlecast-state link: libarchive (its read and write
# API only: no tools, ACLs, extended attributes, iconv or crypto libraries)
# with the compression libraries of the filters it reads (zlib, bzip2, xz's
# liblzma, zstd), and libsodium. The sources are Debian 12's: each tarball is
# taken from Debian's archive, checked against the SHA-256 pinned below, and
# libarchive, xz and libsodium get the patches of Debian's current revision,
# so that a Mac reads archives with the code Debian's libraries run.
#
# Usage: scripts/macos-deps.sh PREFIX CMAKE_ARGS...
#   Installs into PREFIX (lib/ and include/) with CMake given CMAKE_ARGS, the
#   target: the Zig toolchain's arguments in the cross-build
#   (scripts/cross-macos.sh, one prefix per target).
# Usage on a Mac: scripts/macos-deps.sh
#   Builds universal (arm64 and x86_64, macOS 11) libraries with Apple's
#   compilers into $brindlecast_cache/macos-deps/universal-11.0, for the
#   universal build's CMAKE_PREFIX_PATH.
# A PREFIX built by this same script (its stamp matches) is kept as it is;
# the tarballs stay in $brindlecast_cache/sources.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# NAME FOLDER FILE SHA-256: the tarballs, in FOLDER of Debian's pool. A
# .debian.tar.xz holds the patches (debian/patches/series) of that revision;
# when Debian replaces it with a newer one, its .dsc names the new file and
# its SHA-256.
sources="zlib z/zlib zlib_1.2.13.dfsg.orig.tar.bz2 71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1
bzip2 b/bzip2 bzip2_1.0.8.orig.tar.gz ab5a03176ee106d3f0fa90e381da478ddae405918153cca248e682cd0c4a2269
xz x/xz-utils xz-utils_5.4.1.orig.tar.xz 5d9827aa1875b21c288f78864bb26d2650b436ea8d2cad364e4921eb6266a5a5
xz x/xz-utils xz-utils_5.4.1-1+deb12u2.debian.tar.xz 7e0b1d1448520ea4f88ec05136a88f07564cc4a1abd6dfcf53c1f822a3e4f64f
zstd libz/libzstd libzstd_1.5.4+dfsg2.orig.tar.xz 8cf4bbb65e77ec348d052c8d6230eba66d435bddf64c8b5be2fcb16880c19953
libarchive liba/libarchive libarchive_3.6.2.orig.tar.xz 9e2c1b80d5fbe59b61308fdfab6c79b5021d7ff4ff2489fb12daf0a96a83551d
libarchive liba/libarchive libarchive_3.6.2-1+deb12u5.debian.tar.xz 5b32794076e9b0d8cd74fd2c453340b72c6362188f40fa1aac96304cb5683315
libsodium libs/libsodium libsodium_1.0.18.orig.tar.gz d59323c6b712a1519a5daf710b68f5e7fde57040845ffec53850911f10a5d4f4
libsodium libs/libsodium libsodium_1.0.18-1+deb12u1.debian.tar.xz f410474e46346b06b162defa05b1be26906aeed6cf309e3d4ebe30b4d1350733"
# A file is in the main archive or, while it is a security update, in the
# security archive.
archives="http://deb.debian.org/debian/pool/main http://deb.debian.org/debian-security/pool/updates/main"
# What the filters need in libarchive's config.h: without them it would read
# fewer formats, or write zstd through an external program.
archive_features="HAVE_ZLIB_H HAVE_BZLIB_H HAVE_LIBBZ2 HAVE_LZMA_H HAVE_LIBLZMA HAVE_ZSTD_H HAVE_LIBZSTD
HAVE_LIBZSTD_COMPRESSOR"

if [ $# -eq 0 ]; then
  [ "$os" = Darwin ] || fail "usage: $0 PREFIX CMAKE_ARGS... (without arguments only on a Mac)"
  set -- "$brindlecast_cache/macos-deps/universal-$macos" "-DCMAKE_OSX_ARCHITECTURES=arm64;x86_64" \
    -DCMAKE_OSX_DEPLOYMENT_TARGET=$macos
fi
[ $# -ge 2 ] || fail "usage: $0 PREFIX CMAKE_ARGS..."
prefix=$1
shift
# Optimized as Debian builds them (-O2), position-independent, as they go
# into the client library (on macOS all code is, whatever the flag), and
# without their tests.
cmake_args=(-G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG"
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBUILD_TESTING=OFF "$@")
need cmake ninja curl patch xz bzip2

# sha256 [FILE]: the SHA-256 of FILE or of standard input, with what this
# system has (a Mac has no sha256sum).
sha256() {
  if command -v sha256sum >/dev/null; then
    sha256sum "$@"
  elif command -v shasum >/dev/null; then
    shasum -a 256 "$@"
  else
    openssl dgst -sha256 -r "$@"
  fi | awk '{ print $1 }'
}

# What made the prefix: this script, the plain libraries' CMake file and the
# toolchain files.
stamp=$(cat scripts/macos-deps.sh cmake/macos-deps/CMakeLists.txt cmake/macos-zig*.cmake | sha256)
built() { [ "$(cat "$prefix/stamp" 2>/dev/null)" = "$stamp" ]; }
if built; then
  echo "== macos-deps: $prefix is built"
  exit 0
fi

# fetch FILE FOLDER SHA: the tarball in the cache, checked.
downloads=$brindlecast_cache/sources
fetch() {
  local file=$1 folder=$2 sum=$3 archive part
  if [ -f "$downloads/$file" ] && [ "$(sha256 "$downloads/$file")" = "$sum" ]; then return 0; fi
  mkdir -p "$downloads"
  part=$(mktemp "$downloads/$file.XXXXXX")
  for archive in $archives; do
    if curl -fsL --retry 2 -o "$part" "$archive/$folder/$file"; then
      [ "$(sha256 "$part")" = "$sum" ] || {
        rm -f "$part"
        fail "$archive/$folder/$file does not have the SHA-256 pinned in scripts/macos-deps.sh"
      }
      mv "$part" "$downloads/$file"
      return 0
    fi
  done
  rm -f "$part"
  fail "cannot fetch $file from Debian's archive (pool/main/$folder); if Debian has replaced it, pin the new revision's file from its .dsc"
}

# A folder of its own beside the prefix: two runs at once never share one,
# and the finished prefix takes its place in one rename. The log stays when
# the build fails.
mkdir -p "$(dirname "$prefix")"
work=$(mktemp -d "$prefix.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
stage=$work/prefix log=$work.log
: >"$log"
mkdir -p "$work/src" "$stage"
echo "== macos-deps: build zlib, bzip2, xz, zstd, libarchive and libsodium into $prefix"

# Each NAME unpacked into $work/src/NAME, with Debian's patches applied.
while read -r name folder file sum; do
  fetch "$file" "$folder" "$sum"
  case $file in
    *.debian.tar.*)
      mkdir -p "$work/debian-$name"
      tar -xf "$downloads/$file" -C "$work/debian-$name"
      while read -r patch _; do
        case $patch in '' | '#'*) continue ;; esac
        patch -s -p1 -d "$work/src/$name" <"$work/debian-$name/debian/patches/$patch" >>"$log" 2>&1 ||
          fail "Debian's $patch does not apply to $name (log: $log)"
      done <"$work/debian-$name/debian/patches/series"
      ;;
    *)
      mkdir -p "$work/unpack"
      tar -xf "$downloads/$file" -C "$work/unpack"
      mv "$work/unpack"/* "$work/src/$name"
      ;;
  esac
done <<<"$sources"

# libarchive takes Apple's CommonCrypto for encrypted zip entries, which it
# reads only with a passphrase that nothing here gives it, and Zig ships no
# CommonCrypto headers. Both macOS builds leave it out, as libarchive does
# wherever it has no crypto library: such an entry is refused.
for header in archive_cryptor_private.h archive_hmac_private.h; do
  file=$work/src/libarchive/libarchive/$header
  sed 's|^#ifdef __APPLE__$|#if 0 /* no CommonCrypto: see scripts/macos-deps.sh */|' "$file" >"$file.new"
  grep -q '^#if 0 /\* no CommonCrypto' "$file.new" || fail "libarchive's $header no longer chooses CommonCrypto as expected"
  mv "$file.new" "$file"
done

# step NAME COMMAND...: runs COMMAND with its output in the log; a failure
# shows the log's errors and fails the script.
step() {
  local name=$1
  shift
  if ! "$@" >>"$log" 2>&1; then
    { grep -E -A12 'error:|Error|FAILED:' "$log" || tail -n 40 "$log"; } | head -n 60 >&2 || true
    fail "$name did not build: $*"
  fi
}
src=$work/src build=$work/build

# zlib, bzip2 and libsodium: plain C, compiled by cmake/macos-deps.
step "zlib, bzip2 and libsodium" cmake -S cmake/macos-deps -B "$build/plain" "${cmake_args[@]}" \
  -DZLIB_SOURCE="$src/zlib" -DBZIP2_SOURCE="$src/bzip2" -DSODIUM_SOURCE="$src/libsodium" \
  -DCMAKE_INSTALL_PREFIX="$stage"
step "zlib, bzip2 and libsodium" cmake --build "$build/plain" -j "$jobs"
step "zlib, bzip2 and libsodium" cmake --install "$build/plain"

# zstd, the library alone.
step zstd cmake -S "$src/zstd/build/cmake" -B "$build/zstd" "${cmake_args[@]}" -DZSTD_BUILD_PROGRAMS=OFF \
  -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_TESTS=OFF -DZSTD_MULTITHREAD_SUPPORT=OFF \
  -DCMAKE_INSTALL_PREFIX="$stage"
step zstd cmake --build "$build/zstd" -j "$jobs"
step zstd cmake --install "$build/zstd"

# xz's liblzma. Its tools are left out: without getopt_long its configure
# makes none, and none of their links.
step xz cmake -S "$src/xz" -B "$build/xz" "${cmake_args[@]}" -DBUILD_SHARED_LIBS=OFF -DHAVE_GETOPT_LONG=OFF \
  -DCREATE_XZ_SYMLINKS=OFF -DCREATE_LZMA_SYMLINKS=OFF
step xz cmake --build "$build/xz" -j "$jobs" --target liblzma
mkdir -p "$stage/lib" "$stage/include"
cp "$build/xz/liblzma.a" "$stage/lib/"
cp -R "$src/xz/src/liblzma/api/lzma.h" "$src/xz/src/liblzma/api/lzma" "$stage/include/"

# libarchive's static library, with the filters' libraries above and nothing
# else that its configure would look for on the build machine. Without
# copyfile.h it reads as on Linux: a "._" entry (Apple's metadata of another
# entry) is an entry like any other, not folded into the next one.
step libarchive cmake -S "$src/libarchive" -B "$build/libarchive" "${cmake_args[@]}" \
  -DENABLE_TAR=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF -DENABLE_TEST=OFF -DENABLE_INSTALL=OFF \
  -DENABLE_ACL=OFF -DENABLE_XATTR=OFF -DENABLE_ICONV=OFF -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF \
  -DENABLE_NETTLE=OFF -DENABLE_CNG=OFF -DENABLE_LIBB2=OFF -DENABLE_LZ4=OFF -DENABLE_LZO=OFF \
  -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF -DENABLE_PCREPOSIX=OFF -DENABLE_LIBGCC=OFF -DENABLE_WERROR=OFF \
  -DPOSIX_REGEX_LIB=NONE -DLIBMD_FOUND=OFF -DHAVE_COPYFILE_H=OFF \
  -DZLIB_INCLUDE_DIR="$stage/include" -DZLIB_LIBRARY="$stage/lib/libz.a" \
  -DBZIP2_INCLUDE_DIR="$stage/include" -DBZIP2_LIBRARIES="$stage/lib/libbz2.a" \
  -DBZIP2_LIBRARY_RELEASE="$stage/lib/libbz2.a" \
  -DLIBLZMA_INCLUDE_DIR="$stage/include" -DLIBLZMA_LIBRARY="$stage/lib/liblzma.a" \
  -DZSTD_INCLUDE_DIR="$stage/include" -DZSTD_LIBRARY="$stage/lib/libzstd.a"
for feature in $archive_features; do
  grep -q "^#define $feature 1" "$build/libarchive/config.h" ||
    fail "libarchive's configure did not find $feature (log: $log)"
done
step libarchive cmake --build "$build/libarchive" -j "$jobs" --target archive_static
cp "$build/libarchive/libarchive/libarchive.a" "$stage/lib/"
cp "$src/libarchive/libarchive/archive.h" "$src/libarchive/libarchive/archive_entry.h" "$stage/include/"

for file in libz.a libbz2.a liblzma.a libzstd.a libarchive.a libsodium.a; do
  [ -f "$stage/lib/$file" ] || fail "no lib/$file was built"
done
# Only static libraries: a shared one in the prefix would be linked instead.
rm -rf "${stage:?}/lib/pkgconfig" "${stage:?}/lib/cmake" "${stage:?}/bin" "${stage:?}/share"
echo "$stamp" >"$stage/stamp"
# Another run may have finished first: its prefix is the same.
if ! built; then
  rm -rf "$prefix"
  mv "$stage" "$prefix"
fi
rm -f "$log"
echo "== macos-deps: $prefix"
