#!/usr/bin/env bash
# Makes the macOS package from the cross-build (scripts/cross-macos.sh):
# build/brindlecast-VERSION-macos-universal.tar.gz, holding what
# `cmake --install` puts into a prefix, with each program and the library
# joined from the arm64 and x86_64 builds into universal files. Then checks
# every Mach-O file in the tarball and in build/macos-universal/Example.app:
# both architectures, minimum macOS 11.0, each @rpath library found inside
# the tree through the file's own relative rpaths, and a valid ad-hoc
# signature on each arm64 slice (Apple silicon kills a program whose pages no
# longer match it). Nothing edits a file after it is linked: the install
# copies, lipo only puts slices side by side.
set -euo pipefail
cd "$(dirname "$0")/.."

skip() {
  echo "== package-macos: SKIPPED: $*"
  exit 0
}
faults=0
fault() {
  echo "== package-macos: $*" >&2
  faults=$((faults + 1))
}

[ "$(uname -s)" != Darwin ] || skip "on a Mac, cpack -G TGZ in a universal build makes the package"
[ -f build/macos-universal/brindlecast-launcher ] || skip "there is no cross-build (see scripts/cross-macos.sh)"
if ! command -v python3 >/dev/null; then
  . scripts/deps.sh
  brindlecast_want_packages python3
fi
command -v python3 >/dev/null || skip "python3, which checks the code signatures, is not installed"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/macos-arm64/CMakeCache.txt)
name=brindlecast-$version-macos-universal
tarball=build/$name.tar.gz
work=build/macos-package
rm -rf "$work" "$tarball"
mkdir -p "$work/check"

# The arm64 install is the package; the x86_64 install gives each Mach-O file its twin.
cmake --install build/macos-arm64 --prefix "$PWD/$work/$name" >/dev/null
cmake --install build/macos-x86_64 --prefix "$PWD/$work/x86_64" >/dev/null
find "$work/$name" -type f | sort | while IFS= read -r file; do
  case $(file -b "$file") in
  Mach-O*)
    llvm-lipo-14 -create "$file" "$work/x86_64/${file#"$work/$name/"}" -output "$work/universal"
    cat "$work/universal" >"$file" # keeps the file's mode
    ;;
  esac
done
tar -C "$work" -czf "$tarball" "$name"

# What is checked is what the tarball holds.
tar -C "$work/check" -xzf "$tarball"
package=$work/check/$name
for file in bin/brindlecast-launcher bin/brindlecast-state lib/libbrindlecast-client.0.dylib \
  lib/libbrindlecast-client.dylib include/brindlecast/client.h lib/pkgconfig/brindlecast-client.pc \
  lib/cmake/brindlecast/brindlecastConfig.cmake share/man/man1/brindlecast-launcher.1.gz \
  share/man/man1/brindlecast-state.1.gz; do
  [ -f "$package/$file" ] || fault "the package lacks $file"
done

# facts FILE ARCH: "minos V", "rpath P" and "load L" (each library loaded) of one slice.
facts() {
  llvm-objdump-14 --macho --private-headers --arch="$2" "$1" | awk '
    $1 == "cmd" { cmd = $2 }
    cmd == "LC_BUILD_VERSION" && $1 == "minos" { print "minos", $2 }
    cmd == "LC_VERSION_MIN_MACOSX" && $1 == "version" { print "minos", $2 }
    cmd == "LC_RPATH" && $1 == "path" { print "rpath", $2 }
    cmd == "LC_LOAD_DYLIB" && $1 == "name" { print "load", $2 }'
}

# check FILE: both architectures, macOS 11.0, every @rpath library found.
# The files checked are programs started directly and libraries beside them,
# so @executable_path and @loader_path are both the file's own folder.
check() {
  local file=$1 archs arch all value minos rpath found
  archs=$(llvm-lipo-14 -archs "$file" | tr ' ' '\n' | sort | xargs)
  [ "$archs" = "arm64 x86_64" ] || fault "$file holds $archs, not arm64 and x86_64"
  for arch in arm64 x86_64; do
    all=$(facts "$file" $arch)
    minos=$(printf '%s\n' "$all" | sed -n 's/^minos //p')
    [ "$minos" = 11.0 ] || fault "$file ($arch) is for macOS ${minos:-unknown}, not 11.0"
    for rpath in $(printf '%s\n' "$all" | sed -n 's/^rpath //p'); do
      case $rpath in
      @loader_path/* | @executable_path/*) ;;
      *) fault "$file ($arch) has the rpath $rpath, not one relative to itself" ;;
      esac
    done
    for value in $(printf '%s\n' "$all" | sed -n 's|^load @rpath/||p'); do
      found=no
      for rpath in $(printf '%s\n' "$all" | sed -n 's/^rpath @[a-z_]*path//p'); do
        [ -f "$(dirname "$file")$rpath/$value" ] && found=yes
      done
      [ $found = yes ] || fault "$file ($arch) does not find @rpath/$value through its rpaths"
    done
  done
}

# needs FILE LIBRARY: FILE loads LIBRARY through its rpaths (checked by check).
needs() {
  facts "$1" arm64 | grep -qx "load @rpath/$2" || fault "$1 does not load @rpath/$2"
}

app=build/macos-universal/Example.app
machos=()
for file in "$package"/bin/* "$package"/lib/libbrindlecast-client.0.dylib "$app"/Contents/MacOS/* \
  "$app"/Contents/Frameworks/*; do
  check "$file"
  machos+=("$file")
done
needs "$package/bin/brindlecast-state" libbrindlecast-client.0.dylib
needs "$app/Contents/MacOS/brindlecast-client" libbrindlecast-client.0.dylib
needs "$app/Contents/MacOS/brindlecast-state" libbrindlecast-client.0.dylib
python3 scripts/check-signature.py "${machos[@]}" || fault "arm64 code signatures do not hold (above)"
python3 - "$app/Contents/Info.plist" "$version" <<'PY' || fault "$app/Contents/Info.plist is not the bundle's"
import plistlib, sys
p = plistlib.load(open(sys.argv[1], "rb"))
sys.exit(not (p["CFBundleExecutable"] == "brindlecast-launcher" and p["CFBundleIdentifier"]
              and p["CFBundleShortVersionString"] == sys.argv[2]))
PY

[ $faults -eq 0 ] || {
  echo "== package-macos: FAILED: $faults faults in $tarball" >&2
  exit 1
}
echo "== package-macos: $tarball and $app: ${#machos[@]} Mach-O files universal (arm64, x86_64)," \
  "macOS 11.0, libraries found through relative rpaths, arm64 signatures valid"
