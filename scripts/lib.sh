# shellcheck shell=bash
# Sourced by every script here and by the script tests: the platform, the
# releases the scripts build for, skip and fail, the version of a build, the
# checks of Mach-O files, and (scripts/deps.sh) what a step needs installed.

# The platform is decided here, once.
os=$(uname -s)
# The LLVM release whose tools the Linux side uses (Debian 12's), and the
# oldest macOS the binaries run on.
llvm=14 macos=11.0
# shellcheck disable=SC2034 # for the scripts that source this
jobs=$(getconf _NPROCESSORS_ONLN)
# Lines begin "== NAME:", NAME the script's.
script=$(basename "$0" .sh)

# A test (NAME_test.sh) exits 77 when skipped, which CTest reports as skipped.
skip() {
  echo "== $script: SKIPPED: $*"
  case $script in *_test) exit 77 ;; esac
  exit 0
}
fail() {
  echo "== $script: FAILED: $*" >&2
  exit 1
}
# fault TEXT: reports a fault and goes on; no_faults IN fails if there was one.
faults=0
fault() {
  echo "== $script: $*" >&2
  faults=$((faults + 1))
}
no_faults() { [ $faults -eq 0 ] || fail "$faults faults in $*"; }

# build_version DIR: the project's version the build in DIR was configured with.
build_version() { sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"; }

# Mach-O files are read with Apple's tools on a Mac and with LLVM's elsewhere.
# macho_libraries FILE: what `otool -L` prints; macho_commands FILE ARCH: what
# `otool -l` prints of one slice.
case $os in
  Darwin)
    lipo=lipo nm=nm
    macho_libraries() { otool -L "$1"; }
    macho_commands() { otool -arch "$2" -l "$1"; }
    ;;
  *)
    lipo=llvm-lipo-$llvm nm=llvm-nm-$llvm
    macho_libraries() { "llvm-objdump-$llvm" --macho --dylibs-used --arch=all "$1"; }
    macho_commands() { "llvm-objdump-$llvm" --macho --private-headers --arch="$2" "$1"; }
    ;;
esac

# check_archs FILE [ARCHS]: FILE holds exactly ARCHS, by default arm64 and x86_64.
check_archs() {
  local want=${2:-arm64 x86_64} archs
  archs=$("$lipo" -archs "$1" | tr ' ' '\n' | sort | xargs) || true
  [ "$archs" = "$want" ] || fault "$1 holds ${archs:-no Mach-O slice}, not $want"
}

# macho_loads FILE: the libraries FILE loads, one a line.
macho_loads() { macho_libraries "$1" | awk '/^[[:space:]]/ { print $1 }' | sort -u; }
# check_loads FILE LIBRARY: FILE loads LIBRARY.
check_loads() { grep -qxF "$2" <<<"$(macho_loads "$1")" || fault "$1 does not load $2"; }
# check_system_only FILE: FILE loads nothing but the system's libraries.
check_system_only() {
  local others
  others=$(macho_loads "$1" | grep -v '^/usr/lib/' || true)
  [ -z "$others" ] || fault "$1 loads more than the system's libraries: $(xargs <<<"$others")"
}
# check_libsystem FILE: every symbol FILE leaves undefined comes from libSystem.
check_libsystem() {
  local others
  others=$("$nm" -arch all -m -u "$1" | grep -F '(undefined)' | grep -vF '(from libSystem)' || true)
  [ -z "$others" ] || fault "$1 has undefined symbols from elsewhere than libSystem: $(xargs <<<"$others")"
}
# check_client_library FILE: FILE exports only the C API, and never refers to
# environ, which a library on macOS does not have.
check_client_library() {
  local out
  out=$("$nm" -arch all -gUj "$1" | grep -v -e '^_brindlecast_' -e '(for architecture ' -e '^$' || true)
  [ -z "$out" ] || fault "$1 exports more than the C API: ${out:0:300}"
  out=$("$nm" -arch all -uj "$1")
  ! grep -qx _environ <<<"$out" || fault "$1 refers to environ"
}
# check_slices FILE: each slice is for macOS $macos and finds each @rpath
# library inside the tree through its own relative rpaths. The files checked
# are programs started directly and libraries beside them, so
# @executable_path and @loader_path are both the file's own folder.
check_slices() {
  local file=$1 arch facts minos rpath value found
  for arch in arm64 x86_64; do
    # "minos V", "rpath P" and "load L" (each library loaded).
    facts=$(macho_commands "$file" $arch | awk '
      $1 == "cmd" { cmd = $2 }
      cmd == "LC_BUILD_VERSION" && $1 == "minos" { print "minos", $2 }
      cmd == "LC_VERSION_MIN_MACOSX" && $1 == "version" { print "minos", $2 }
      cmd == "LC_RPATH" && $1 == "path" { print "rpath", $2 }
      cmd == "LC_LOAD_DYLIB" && $1 == "name" { print "load", $2 }')
    minos=$(sed -n 's/^minos //p' <<<"$facts")
    [ "$minos" = "$macos" ] || fault "$file ($arch) is for macOS ${minos:-unknown}, not $macos"
    # Rpaths and install names are the build's own, without blanks.
    # shellcheck disable=SC2013
    for rpath in $(sed -n 's/^rpath //p' <<<"$facts"); do
      case $rpath in
        @loader_path/* | @executable_path/*) ;;
        *) fault "$file ($arch) has the rpath $rpath, not one relative to itself" ;;
      esac
    done
    # shellcheck disable=SC2013
    for value in $(sed -n 's|^load @rpath/||p' <<<"$facts"); do
      found=no
      # shellcheck disable=SC2013
      for rpath in $(sed -n 's/^rpath @[a-z_]*path//p' <<<"$facts"); do
        [ -f "$(dirname "$file")$rpath/$value" ] && found=yes
      done
      [ $found = yes ] || fault "$file ($arch) does not find @rpath/$value through its rpaths"
    done
  done
}

# shellcheck source=scripts/deps.sh
. "$(dirname "${BASH_SOURCE[0]}")/deps.sh"
