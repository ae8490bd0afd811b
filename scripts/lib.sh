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
# What the scripts fetch and build once, outside the tree.
# shellcheck disable=SC2034 # for the scripts that source this
brindlecast_cache=${XDG_CACHE_HOME:-$HOME/.cache}/brindlecast

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
# check_system_only FILE [LIBRARY...]: FILE loads nothing but the system's
# libraries and each LIBRARY (such as @rpath/libbrindlecast-client.0.dylib):
# what it links besides, libarchive or libsodium among them, is linked in.
check_system_only() {
  local file=$1 loaded allowed others=""
  shift
  while IFS= read -r loaded; do
    case $loaded in /usr/lib/*) continue ;; esac
    for allowed; do [ "$loaded" != "$allowed" ] || continue 2; done
    others="$others $loaded"
  done < <(macho_loads "$file")
  [ -z "$others" ] || fault "$file loads more than the system's libraries${1:+ and $*}:$others"
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
# macho_facts FILE ARCH: one slice's "minos V", "rpath P" and "load L" (each
# library loaded), a line each.
macho_facts() {
  macho_commands "$1" "$2" | awk '
    $1 == "cmd" { cmd = $2 }
    cmd == "LC_BUILD_VERSION" && $1 == "minos" { print "minos", $2 }
    cmd == "LC_VERSION_MIN_MACOSX" && $1 == "version" { print "minos", $2 }
    cmd == "LC_RPATH" && $1 == "path" { print "rpath", $2 }
    cmd == "LC_LOAD_DYLIB" && $1 == "name" { print "load", $2 }'
}

# check_slices FILE: each slice is for macOS $macos and finds each @rpath
# library inside the tree through its own relative rpaths. The files checked
# are programs started directly and libraries beside them, so
# @executable_path and @loader_path are both the file's own folder.
check_slices() {
  local file=$1 arch facts minos rpath value found
  for arch in arm64 x86_64; do
    facts=$(macho_facts "$file" $arch)
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

# lexical_path PATH: the absolute PATH with its "." and ".." components
# resolved by name, as dyld joins an rpath: nothing needs to exist.
lexical_path() {
  local part out="" parts
  IFS=/ read -r -a parts <<<"$1"
  for part in ${parts[@]+"${parts[@]}"}; do
    case $part in
      "" | .) ;;
      ..) out=${out%/*} ;;
      *) out=$out/$part ;;
    esac
  done
  printf '%s\n' "${out:-/}"
}

# check_slots SLOTS: SLOTS (an install root's slots/) holds slots only, and
# each slot holds its client and everything the client loads but the
# system's libraries. A file's @executable_path is the slot (the client lies
# at its top), its @loader_path its own folder; every rpath and every library
# they lead to stays inside the slot. A client with the bundle's rpath,
# @executable_path/../Frameworks, would look in SLOTS/Frameworks, which
# prune takes for a slot.
check_slots() {
  local slots entry slot file arch facts value path rpath rpaths found
  slots=$(cd "$1" && pwd)
  # slot_path P: P of $file made absolute, or nothing when it leaves $slot.
  slot_path() {
    local path
    case $1 in
      @executable_path/*) path=$slot/${1#@executable_path/} ;;
      @loader_path/*) path=$(dirname "$file")/${1#@loader_path/} ;;
      *) path=$1 ;;
    esac
    path=$(lexical_path "$path")
    case $path/ in "$slot"/*) echo "$path" ;; esac
  }
  for entry in "$slots"/*; do
    [ -e "$entry" ] || continue
    [ -d "$entry" ] || { fault "$entry is not a slot: slots/ holds slots only"; continue; }
    slot=$entry
    [ -f "$slot/brindlecast-client" ] || fault "$slot has no brindlecast-client"
    while IFS= read -r file; do
      "$lipo" -archs "$file" >/dev/null 2>&1 || continue
      for arch in $("$lipo" -archs "$file"); do
        facts=$(macho_facts "$file" "$arch")
        rpaths=()
        # Mach-O paths hold no newline and, here, no blank: words will do.
        # shellcheck disable=SC2013
        for rpath in $(sed -n 's/^rpath //p' <<<"$facts"); do
          path=$(slot_path "$rpath")
          if [ -n "$path" ]; then
            rpaths+=("$path")
          else
            fault "$file ($arch) has the rpath $rpath, which leads out of its slot"
          fi
        done
        # shellcheck disable=SC2013
        for value in $(sed -n 's/^load //p' <<<"$facts"); do
          case $value in
            /usr/lib/* | /System/*) continue ;;
            @rpath/*)
              found=no
              for path in ${rpaths[@]+"${rpaths[@]}"}; do
                [ -f "$path/${value#@rpath/}" ] && found=yes
              done
              ;;
            *) path=$(slot_path "$value") && [ -n "$path" ] && [ -f "$path" ] && found=yes || found=no ;;
          esac
          [ $found = yes ] || fault "$file ($arch) loads $value, which is not in its slot"
        done
      done
    done < <(find "$slot" -type f | sort)
  done
}

# check_bundle_agents APP: APP carries a LaunchAgent in
# Contents/Library/LaunchAgents, and the BundleProgram of each names a
# program inside APP.
check_bundle_agents() {
  local app=$1 plist program found=no
  for plist in "$app"/Contents/Library/LaunchAgents/*.plist; do
    [ -f "$plist" ] || continue
    found=yes
    program=$(awk '/<key>BundleProgram<\/key>/ { want = 1; sub(/.*<key>BundleProgram<\/key>/, "") }
      want && /<string>/ { sub(/.*<string>/, ""); sub(/<\/string>.*/, ""); print; exit }' "$plist")
    case /$program/ in
      //* | */../*) fault "$plist: BundleProgram \"$program\" is not a path inside the bundle" ;;
      *)
        if ! [ -f "$app/$program" ] || ! [ -x "$app/$program" ]; then
          fault "$plist: BundleProgram $program is not a program in $app"
        fi
        ;;
    esac
  done
  [ $found = yes ] || fault "$app carries no LaunchAgent in Contents/Library/LaunchAgents"
}

# shellcheck source=scripts/deps.sh
. "$(dirname "${BASH_SOURCE[0]}")/deps.sh"
