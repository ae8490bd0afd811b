# Sourced by the other scripts: makes sure the build tools are present.
# As root, missing Debian packages are installed; otherwise the exact
# command to install them is printed and the script stops.

brindlecast_need_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
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

# Packages every build needs.
BRINDLECAST_BUILD_PACKAGES=(cmake ninja-build g++ make)
# Packages the tests add: GoogleTest and the Clang sanitizer build.
BRINDLECAST_TEST_PACKAGES=(libgtest-dev libgmock-dev clang libclang-rt-14-dev)
