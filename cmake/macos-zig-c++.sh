#!/bin/sh
# The C++ compiler of cmake/macos-zig.cmake: zig c++ for one macOS target.
# Usage: macos-zig-c++.sh ZIG TARGET LD64 ARGS...   (TARGET: aarch64-macos.11.0, ...)
#
# Zig 0.11's Mach-O linker ignores or rejects two flags the build passes:
# CMake's -Wl,-v (asking the Apple linker to print its search paths) is
# dropped, and a link with -Wl,-exported_symbols_list is done a second time,
# with the inputs zig chose, by LLVM's ld64-compatible linker LD64, which honours
# the list the way Apple's linker does.
zig=$1 target=$2 ld64=$3
shift 3

exports='' versions=''
for arg; do
  shift
  case $arg in
  -Wl,-v) ;;
  -Wl,-exported_symbols_list,*) exports=${arg#-Wl,-exported_symbols_list,} ;;
  *) set -- "$@" "$arg" ;;
  esac
done
[ -n "$exports" ] || exec "$zig" c++ -target "$target" "$@"

# The link zig runs, printed as "zig ld ARGS" on standard error.
log=$(ZIG_VERBOSE_LINK=1 "$zig" c++ -target "$target" "$@" 2>&1) || {
  printf '%s\n' "$log" >&2
  exit 1
}
printf '%s\n' "$log" | grep -v '^zig ld ' >&2 || true
line=$(printf '%s\n' "$log" | sed -n 's/^zig ld //p')
[ -n "$line" ] || {
  echo "macos-zig-c++.sh: zig printed no link line" >&2
  exit 1
}
# ld64 takes -current_version and -compatibility_version as the driver passes
# them; zig drops both.
while [ $# -gt 0 ]; do
  case $1 in
  -current_version | -compatibility_version) versions="$versions $1 $2" ;;
  esac
  shift
done
case $target in
aarch64-*) arch=arm64 ;;
*) arch=${target%%-*} ;;
esac
macos=${target##*-macos.}
libsystem=$(dirname "$(readlink -f "$zig")")/lib/libc/darwin/libSystem.${macos%%.*}.tbd
# Zig's own arguments are ld64's, apart from -dynamic (the default) and the
# system libraries, named here by their stub. The paths hold no blanks.
args=$(printf '%s\n' "$line" | sed 's/^-dynamic //; s/ -lSystem -lc$//')
# shellcheck disable=SC2086 # the argument list is split on purpose
exec "$ld64" -arch "$arch" -platform_version macos "$macos" "$macos" $args $versions \
  -exported_symbols_list "$exports" "$libsystem"
