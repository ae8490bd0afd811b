#!/usr/bin/env bash
# Builds the packages of this build tree with CPack, unpacks the .deb with
# dpkg-deb -x into a temporary directory and checks what it installs: the
# launcher answers --version and --selftest, the man page, headers, library
# and CMake package configuration are in place, and (unless the build is
# sanitized) a C client builds against the unpacked package with
# find_package and takes part in the state protocol through the library.
# Usage: deb_test.sh BUILD_DIR CONSUMER_SOURCE_DIR SANITIZED(0|1)
set -euo pipefail
build=$1 consumer=$2 sanitized=$3
for tool in cpack dpkg-deb tar gzip; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
expect_eq() {  # what actual expected
  [ "$2" = "$3" ] || fail "$1"$'\n'"  got:      $2"$'\n'"  expected: $3"
}

# Packages go to a directory of their own, so runs never share CPack's tree.
if ! (cd "$work" && cpack -G "DEB;TGZ" --config "$build/CPackConfig.cmake" -B "$work/out") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack failed"
fi
debs=("$work"/out/*.deb)
tgzs=("$work"/out/*.tar.gz)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb in: $(ls "$work/out")"
[ ${#tgzs[@]} -eq 1 ] && [ -f "${tgzs[0]}" ] || fail "expected one .tar.gz in: $(ls "$work/out")"
deb=${debs[0]}

expect_eq "package name" "$(dpkg-deb -f "$deb" Package)" "brindlecast-launcher"
expect_eq "package version" "$(dpkg-deb -f "$deb" Version)" "0.1.0"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "Depends lacks libc6: $(dpkg-deb -f "$deb" Depends)"

dpkg-deb -x "$deb" "$work/root"
usr=$work/root/usr
for file in bin/brindlecast-launcher share/man/man1/brindlecast-launcher.1.gz \
  include/brindlecast/client.h include/brindlecast/client.hpp \
  lib/libbrindlecast-client.so.0.1.0 lib/libbrindlecast-client.so.0 lib/libbrindlecast-client.so \
  lib/cmake/brindlecast/brindlecastConfig.cmake lib/cmake/brindlecast/brindlecastConfigVersion.cmake \
  lib/cmake/brindlecast/brindlecastTargets.cmake; do
  [ -e "$usr/$file" ] || fail "not in the .deb: /usr/$file"
done
[ -x "$usr/bin/brindlecast-launcher" ] || fail "the launcher is not executable"
# Listings are read whole: with pipefail an early-exiting grep would fail them.
man_page=$(gzip -dc "$usr/share/man/man1/brindlecast-launcher.1.gz")
[[ $man_page == ".TH BRINDLECAST-LAUNCHER 1 "* ]] || fail "the man page does not begin with its .TH line"
tgz_files=$(tar -tzf "${tgzs[0]}")
grep -q '/bin/brindlecast-launcher$' <<<"$tgz_files" || fail "the .tar.gz lacks bin/brindlecast-launcher"

# The unpacked launcher, in an environment of its own.
launcher=$usr/bin/brindlecast-launcher
expect_eq "--version" "$(env -i "$launcher" --version)" "brindlecast-launcher 0.1.0"
root=$work/install
mkdir -p "$root/slots/1.0.0"
printf '{"active":"1.0.0","known_good":"1.0.0","channel":"stable"}' >"$root/state.json"
expect_eq "--selftest" "$(env -i "$launcher" --install-root "$root" --install-method process --selftest)" \
  '{"binary":"brindlecast-launcher","version":"0.1.0","ok":true,"install_root":"'"$root"'","install_method":"process","entrypoint":"'"$root"'/slots/1.0.0/brindlecast-client","state":{"active":"1.0.0","known_good":"1.0.0","channel":"stable","pending":null,"failed_starts":0,"started_ok":false,"versions":{},"relaunch_intent":false}}'

if [ "$sanitized" = 1 ]; then
  echo "sanitized build: not building a client against the package"
  exit 0
fi
command -v cc >/dev/null || { echo "SKIP: no C compiler for the client build"; exit 77; }
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if ! { cmake -S "$consumer" -B "$work/consumer" "${generator[@]}" -DCMAKE_PREFIX_PATH="$usr" &&
  cmake --build "$work/consumer"; } >"$work/consumer.log" 2>&1; then
  cat "$work/consumer.log"
  fail "a C client does not build against the package"
fi
mkdir -p "$root/slots/2.0.0" && : >"$root/slots/2.0.0/brindlecast-client"
expect_eq "C client output" "$(LD_LIBRARY_PATH="$usr/lib" "$work/consumer/consumer" "$root" "$work/no-root")" \
  "active=2.0.0 known_good=1.0.0 pending=2.0.0 failed_starts=0 started_ok=1 relaunch_intent=0
version 2.0.0=2.0.0
missing root: 1"
# The library wrote what the launcher reads.
report=$(env -i "$launcher" --install-root "$root" --selftest)
[[ $report == *'"pending":"2.0.0","failed_starts":0,"started_ok":true'* ]] ||
  fail "the launcher does not see the client's marks: $report"
echo "ok"
