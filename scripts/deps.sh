# Sourced by the other scripts: makes sure the build tools are present.
# Callers name Debian packages. On Linux, as root, missing ones are installed
# with apt-get; otherwise the exact command to install them is printed and the
# script stops. On a Mac the commands and headers behind those packages are
# checked instead, and the Homebrew line that provides the missing ones is
# printed; packages of steps a Mac skips ask for nothing there.

# Packages every build needs.
BRINDLECAST_BUILD_PACKAGES=(cmake ninja-build g++ make)
# Packages the tests add: GoogleTest, the Clang sanitizer build, the
# power-cut test's file system tools, pkg-config for the package test, and
# the locale sources for brindlecast_want_comma_locale.
BRINDLECAST_TEST_PACKAGES=(libgtest-dev libgmock-dev clang libclang-rt-14-dev valgrind groff-base xfsprogs e2fsprogs
  pkgconf locales)
# Packages some tests use when they can be had: runit's runsv as a real service
# supervisor, Debian's package checker lintian, and zsh (a Mac's login shell)
# for the README's walkthrough. runit's maintainer scripts only add configuration under /etc and
# start nothing unless runit is the init system.
BRINDLECAST_OPTIONAL_TEST_PACKAGES=(runit lintian zsh)
# What scripts/cross-macos.sh uses, as command:package. Without them the
# cross-build is skipped.
BRINDLECAST_CROSS_TOOLS=(npm:npm file:file llvm-lipo-14:llvm-14 llvm-nm-14:llvm-14 llvm-objdump-14:llvm-14 ld64.lld-14:lld-14)

# The platform is decided here, once.
case $(uname -s) in
  Darwin)
    # Adds to `missing` (Homebrew formulae, or "xcode" for Apple's
    # command-line tools) what stands in on a Mac for the Debian package $1.
    brindlecast_mac_check() {
      local kind what formula prefix
      case $1 in
        cmake) kind=command what=cmake formula=cmake ;;
        ninja-build) kind=command what=ninja formula=ninja ;;
        g++ | clang) kind=command what=c++ formula=xcode ;;
        make) kind=command what=make formula=xcode ;;
        pkgconf) kind=command what=pkg-config formula=pkgconf ;;
        hyperfine | jq) kind=command what=$1 formula=$1 ;;
        libgtest-dev) kind=header what=gtest/gtest.h formula=googletest ;;
        libbenchmark-dev) kind=header what=benchmark/benchmark.h formula=google-benchmark ;;
        rapidjson-dev) kind=header what=rapidjson/rapidjson.h formula=rapidjson ;;
        *) return 0 ;;
      esac
      if [ "$kind" = command ]; then
        command -v "$what" >/dev/null && return 0
      else
        for prefix in ${HOMEBREW_PREFIX:-} /opt/homebrew /usr/local /opt/local; do
          [ -f "$prefix/include/$what" ] && return 0
        done
      fi
      case " $missing " in
        *" $formula "*) ;;
        *) missing="$missing $formula" ;;
      esac
    }
    brindlecast_need_packages() {
      local missing="" pkg formulae=""
      for pkg in "$@"; do brindlecast_mac_check "$pkg"; done
      [ -z "$missing" ] && return 0
      echo "Missing build tools. Install them with:" >&2
      case " $missing " in *" xcode "*) echo "  xcode-select --install" >&2 ;; esac
      for pkg in $missing; do [ "$pkg" = xcode ] || formulae="$formulae $pkg"; done
      [ -z "$formulae" ] || echo "  brew install$formulae" >&2
      return 1
    }
    # Optional tools only let some tests run; those skip with their reason.
    brindlecast_want_packages() { return 0; }
    # macOS has the decimal-comma locale built in.
    brindlecast_want_comma_locale() { return 0; }
    return 0
    ;;
esac

# Fills the array `missing` with those of the named packages not installed.
brindlecast_find_missing() {
  missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
}

brindlecast_need_packages() {
  local missing
  brindlecast_find_missing "$@"
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing missing packages: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null || {
      echo "apt-get could not install: ${missing[*]}" >&2
      return 1
    }
  else
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    return 1
  fi
}

# Installs packages that only some tests need; without them those tests are
# skipped. Never fails. Recommends are left out: runit's would bring an init
# system along.
brindlecast_want_packages() {
  local missing
  brindlecast_find_missing "$@"
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing optional packages: ${missing[*]}"
    { DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >/dev/null 2>&1 ||
      echo "apt-get could not install ${missing[*]}: the tests that need them are skipped" >&2
  else
    echo "Optional packages missing, the tests that need them are skipped. Install them with:" >&2
    echo "  sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
  fi
  return 0
}

# The number conversion test wants a locale whose decimal point is a comma.
# As root it is compiled once into the system's locale archive; otherwise
# the test says that it skips that part.
brindlecast_want_comma_locale() {
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
