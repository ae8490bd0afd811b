# shellcheck shell=bash
# The lists are for the scripts that source lib.sh, and lib.sh sets os and
# llvm before it sources this.
# shellcheck disable=SC2034,SC2154
# Sourced by scripts/lib.sh: asks for the commands, headers and files a step
# needs, and names the Debian package and the Homebrew formula that provide
# each. On Debian, as root, what is missing is installed with apt-get;
# otherwise the exact command that installs it is printed, and `need` stops
# the script where `want` only warns.

# What every build needs: libarchive reads archives and libsodium checks
# signatures (Homebrew's libarchive is keg-only: its headers are looked for
# in its own prefix).
BRINDLECAST_BUILD_TOOLS=(cmake ninja g++ make archive.h sodium.h)
# What the tests add: GoogleTest, the Clang sanitizer build and its runtime,
# clang-format for the layout check, valgrind, groff for the man pages, the
# power-cut test's file system tools, pkg-config for the package test, the
# locale sources for want_comma_locale, and minisign, which signs what the
# signature tests check.
# A pattern, expanded where it is looked for (brindlecast_present).
# shellcheck disable=SC2125
BRINDLECAST_CLANG_RUNTIME=/usr/lib/llvm-$llvm/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a
BRINDLECAST_TEST_TOOLS=(gtest/gtest.h gmock/gmock.h clang++ "$BRINDLECAST_CLANG_RUNTIME" "clang-format-$llvm" valgrind
  groff xfs_io mkfs.ext4 pkg-config /usr/share/i18n/locales/de_DE minisign)
# What some tests use when it can be had: runit's runsv as a real service
# supervisor, Debian's package checker lintian, zsh (a Mac's login shell)
# for the README's walkthrough, and shellcheck for the scripts. runit's maintainer scripts only add
# configuration under /etc and start nothing unless runit is the init system.
BRINDLECAST_OPTIONAL_TEST_TOOLS=(runsv lintian zsh shellcheck)
# What scripts/cross-macos.sh and scripts/package-macos.sh use, GoogleTest's
# sources among it, and what scripts/macos-deps.sh fetches and unpacks the
# libraries' sources with; without it the cross-build is skipped.
BRINDLECAST_GTEST_SOURCE=/usr/src/googletest
BRINDLECAST_CROSS_TOOLS=(npm "llvm-lipo-$llvm" "llvm-nm-$llvm" "llvm-objdump-$llvm" "ld64.lld-$llvm"
  "$BRINDLECAST_GTEST_SOURCE/CMakeLists.txt" curl patch xz bzip2)

# brindlecast_provider WHAT: sets `deb` and `formula` to the Debian package and
# the Homebrew formula that provide WHAT. "xcode" is Apple's command-line
# tools; "-" is what a Mac is not asked for: only Linux steps use it, the
# test that does skips there, or macOS has it built in.
brindlecast_provider() {
  case $1 in
    ninja) deb=ninja-build formula=ninja ;;
    g++ | make) deb=$1 formula=xcode ;;
    clang++) deb=clang formula=xcode ;;
    pkg-config) deb=pkgconf formula=pkgconf ;;
    runsv) deb=runit formula=runit ;;
    gtest/*) deb=libgtest-dev formula=googletest ;;
    gmock/*) deb=libgmock-dev formula=googletest ;;
    archive.h) deb=libarchive-dev formula=libarchive ;;
    sodium.h) deb=libsodium-dev formula=libsodium ;;
    benchmark/*) deb=libbenchmark-dev formula=google-benchmark ;;
    rapidjson/*) deb=rapidjson-dev formula=rapidjson ;;
    groff) deb=groff-base formula=- ;;
    xfs_io) deb=xfsprogs formula=- ;;
    mkfs.ext4) deb=e2fsprogs formula=- ;;
    llvm-*) deb=llvm-$llvm formula=- ;;
    clang-format-*) deb=clang-format-$llvm formula=- ;;
    ld64.lld-*) deb=lld-$llvm formula=- ;;
    */libclang_rt.*) deb=libclang-rt-$llvm-dev formula=- ;;
    */i18n/*) deb=locales formula=- ;;
    */googletest/*) deb=googletest formula=- ;;
    xz) deb=xz-utils formula=- ;;
    valgrind | lintian | npm | python3 | curl | patch | bzip2) deb=$1 formula=- ;;
    *) deb=$1 formula=$1 ;;
  esac
}

# brindlecast_present WHAT FORMULA: WHAT is a command (Debian keeps file
# system tools in sbin, outside a user's PATH), a header (NAME.h or
# DIR/NAME.h) under a prefix's include/ or, for a keg-only formula, under
# Homebrew's opt/FORMULA/include, or an absolute path, which may hold a
# pattern. A Mac has no /usr/include: its compilers take the system's
# headers from the SDK, and nothing else from there.
brindlecast_present() {
  local path prefixes=(${HOMEBREW_PREFIX:+"$HOMEBREW_PREFIX"} /opt/homebrew /usr/local /opt/local)
  [ "$os" = Darwin ] || prefixes+=(/usr)
  case $1 in
    /*) for path in $1; do [ -e "$path" ] && return 0; done ;;
    */* | *.h) for path in "${prefixes[@]}"; do
      [ -f "$path/include/$1" ] && return 0
      [ "$os" != Darwin ] || [ ! -f "$path/opt/$2/include/$1" ] || return 0
    done ;;
    *) PATH=$PATH:/usr/sbin:/sbin command -v "$1" >/dev/null && return 0 ;;
  esac
  return 1
}

# have WHAT...: whether all of WHAT is there. What is not goes to `absent`,
# and the Debian packages (on a Mac the Homebrew formulae) that provide it to
# `missing`.
have() {
  local what deb formula
  absent="" missing=""
  for what in "$@"; do
    brindlecast_provider "$what"
    [ "$os" != Darwin ] || deb=$formula
    if [ "$deb" = - ] || brindlecast_present "$what" "$formula"; then continue; fi
    absent="$absent $what"
    case "$missing " in *" $deb "*) ;; *) missing="$missing $deb" ;; esac
  done
  [ -z "$absent" ]
}

# brindlecast_install FLAGS NOTE: as root on Debian, installs `missing` with
# apt-get and FLAGS; elsewhere says what is not found, and NOTE, and the
# command that installs it, and returns 1.
brindlecast_install() {
  if [ "$os" != Darwin ] && [ "$(id -u)" -eq 0 ]; then
    echo "Installing$missing"
    # The flags and the list of packages, each split into words.
    # shellcheck disable=SC2086
    { DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $1 $missing; } >/dev/null && return 0
    echo "apt-get could not install:$missing" >&2
    return 1
  fi
  echo "Not found:$absent$2. Install with:" >&2
  case $os in
    Darwin)
      case "$missing " in *" xcode "*) echo "  xcode-select --install" >&2 ;; esac
      missing=$(xargs <<<"${missing// xcode/}")
      [ -z "$missing" ] || echo "  brew install $missing" >&2
      ;;
    *) echo "  sudo apt-get install -y${1:+ $1}$missing" >&2 ;;
  esac
  return 1
}

# need WHAT...: stops the script unless all of WHAT is there (as root on
# Debian, once it is installed).
need() { have "$@" || brindlecast_install "" "" || exit 1; }
# want WHAT...: what only some steps use; without it those are skipped. As root
# on Debian it is installed without recommends: runit's would bring an init
# system along.
want() { have "$@" || brindlecast_install --no-install-recommends " (what needs it is skipped)" || true; }

# The number conversion test wants a locale whose decimal point is a comma.
# As root it is compiled once into the system's locale archive; otherwise
# the test says that it skips that part. macOS has it built in.
want_comma_locale() {
  [ "$os" != Darwin ] || return 0
  locale -a 2>/dev/null | grep -qix 'de_DE.utf8' && return 0
  if [ "$(id -u)" -eq 0 ] && command -v localedef >/dev/null; then
    localedef -i de_DE -f UTF-8 de_DE.UTF-8 >/dev/null 2>&1 ||
      echo "localedef could not compile de_DE.UTF-8: the number test skips its locale part" >&2
  else
    echo "No de_DE.UTF-8 locale: the number test skips its locale part. Compile it with:" >&2
    echo "  sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8" >&2
  fi
  return 0
}
