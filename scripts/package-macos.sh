#!/usr/bin/env bash
# Makes the macOS package from the cross-build (scripts/cross-macos.sh):
# build/brindlecast-VERSION-macos-universal.tar.gz, holding what
# `cmake --install` puts into a prefix, with each program and the library
# joined from the arm64 and x86_64 builds into universal files. Then checks
# every Mach-O file in the tarball, in build/macos-universal/Example.app and
# in the slot of build/macos-universal/install:
# both architectures, minimum macOS 11.0, each @rpath library found inside
# the tree through the file's own relative rpaths, and a valid ad-hoc
# signature on each arm64 slice (Apple silicon kills a program whose pages no
# longer match it); that the launchers need nothing but libSystem, that
# brindlecast-state and the library carry libarchive and libsodium (they load
# nothing but the system's libraries and the library), and that the library
# exports only the C API. Nothing edits a file after it is linked: the install
# copies, lipo only puts slices side by side.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/lib.sh
[ "$os" != Darwin ] || skip "on a Mac, cpack -G TGZ in a universal build makes the package"
[ -f build/macos-universal/brindlecast-launcher ] || skip "there is no cross-build (see scripts/cross-macos.sh)"
want python3
have python3 || skip "python3, which checks the code signatures, is not installed"

version=$(build_version build/macos-arm64)
name=brindlecast-$version-macos-universal
tarball=build/$name.tar.gz
work=build/macos-package
rm -rf "$work" "$tarball"
mkdir -p "$work/check"

# The arm64 install is the package; the x86_64 install gives each Mach-O file its twin.
cmake --install build/macos-arm64 --prefix "$PWD/$work/$name" >/dev/null
cmake --install build/macos-x86_64 --prefix "$PWD/$work/x86_64" >/dev/null
find "$work/$name" -type f | sort | while IFS= read -r file; do
  if "$lipo" -archs "$file" >/dev/null 2>&1; then
    "$lipo" -create "$file" "$work/x86_64/${file#"$work/$name/"}" -output "$work/universal"
    cat "$work/universal" >"$file" # keeps the file's mode
  fi
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

app=build/macos-universal/Example.app slots=build/macos-universal/install/slots
machos=()
for file in "$package"/bin/* "$package"/lib/libbrindlecast-client.0.dylib "$app"/Contents/MacOS/* \
  "$app"/Contents/Frameworks/* "$slots"/*/brindlecast-client "$slots"/*/lib/*; do
  check_archs "$file"
  check_slices "$file"
  machos+=("$file")
done
for file in "$package/bin/brindlecast-state" "$app"/Contents/MacOS/brindlecast-{client,state} "$slots"/*/brindlecast-client; do
  check_loads "$file" @rpath/libbrindlecast-client.0.dylib
done
for file in "$package/bin/brindlecast-launcher" "$app/Contents/MacOS/brindlecast-launcher"; do
  check_libsystem "$file"
done
for file in "$package/bin/brindlecast-state" "$app/Contents/MacOS/brindlecast-state"; do
  check_system_only "$file" @rpath/libbrindlecast-client.0.dylib
done
for file in "$package/lib/libbrindlecast-client.0.dylib" "$app/Contents/Frameworks/libbrindlecast-client.0.dylib" \
  "$slots"/*/lib/libbrindlecast-client.0.dylib; do
  check_system_only "$file" @rpath/libbrindlecast-client.0.dylib
  check_client_library "$file"
done
python3 scripts/check-signature.py "${machos[@]}" || fault "arm64 code signatures do not hold (above)"
python3 - "$app/Contents/Info.plist" "$version" <<'PY' || fault "$app/Contents/Info.plist is not the bundle's"
import plistlib, sys
p = plistlib.load(open(sys.argv[1], "rb"))
sys.exit(not (p["CFBundleExecutable"] == "brindlecast-launcher" and p["CFBundleIdentifier"]
              and p["CFBundleShortVersionString"] == sys.argv[2]))
PY

no_faults "$tarball"
echo "== package-macos: $tarball and $app: ${#machos[@]} Mach-O files universal (arm64, x86_64)," \
  "macOS $macos, libraries found through relative rpaths, arm64 signatures valid;" \
  "the launchers need only libSystem; brindlecast-state and the library load only the system's libraries and the library," \
  "which exports only brindlecast_*"
