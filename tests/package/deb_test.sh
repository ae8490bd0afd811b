#!/usr/bin/env bash
# Builds the packages of this build tree with CPack, unpacks the three .deb
# files with dpkg-deb -x into one temporary directory and checks what they
# install and how they depend on each other: the launcher answers --version
# and --selftest and loads only the C library, brindlecast-state runs on the packaged library, the man
# pages, headers, library, pkg-config file and CMake package configuration
# are in place, lintian finds nothing to say (where it is installed), and (unless the build is sanitized) a C client builds against
# the unpacked packages, once with find_package and once with pkg-config, and
# takes part in the state protocol through the library. Nothing is given a
# library path: the rpaths find the library in the unpacked tree.
# Usage: deb_test.sh BUILD_DIR CONSUMER_SOURCE_DIR SANITIZED(0|1)
set -euo pipefail
build=$1 consumer=$2 sanitized=$3
. "$(dirname "$0")/../../scripts/lib.sh"
# Another system's dpkg (Homebrew has one for macOS) cannot make these packages.
[ "$os" = Linux ] && [ -f /etc/debian_version ] || skip "Debian packages are built and checked on Debian only"
for tool in cpack dpkg dpkg-deb tar gzip cc; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
version=$(build_version "$build")
[ -n "$version" ] || fail "$build/CMakeCache.txt holds no project version"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
expect_eq() {  # what actual expected
  [ "$2" = "$3" ] || fail "$1"$'\n'"  got:      $2"$'\n'"  expected: $3"
}

# Packages go to a directory of their own, so runs never share CPack's tree.
if ! (cd "$work" && cpack -G "DEB;TGZ" --config "$build/CPackConfig.cmake" -B "$work/out") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack failed"
fi
tgzs=("$work"/out/*.tar.gz)
[ ${#tgzs[@]} -eq 1 ] && [ -f "${tgzs[0]}" ] || fail "expected one .tar.gz in: $(ls "$work/out")"
arch=$(dpkg --print-architecture)
multiarch=$(cc -print-multiarch)
for package in brindlecast-launcher libbrindlecast-client0 libbrindlecast-client-dev; do
  deb=$work/out/${package}_${version}_$arch.deb
  [ -f "$deb" ] || fail "no $package package in: $(ls "$work/out")"
  expect_eq "$package name" "$(dpkg-deb -f "$deb" Package)" "$package"
  expect_eq "$package version" "$(dpkg-deb -f "$deb" Version)" "$version"
  dpkg-deb -x "$deb" "$work/root"
done
depends() { dpkg-deb -f "$work/out/${1}_${version}_$arch.deb" Depends; }
# covers PACKAGE FILE: PACKAGE depends on each package dpkg-shlibdeps finds
# FILE needs, at its version or a later one.
covers() {
  local needed entry name minimum declared
  needed=$(cd "$work/shlibdeps" && dpkg-shlibdeps -O --ignore-missing-info -l"$lib" "$2" 2>/dev/null) ||
    fail "dpkg-shlibdeps cannot read $2"
  while IFS= read -r entry; do
    name=${entry%% *}
    minimum=$(sed -n 's/.*(>= \(.*\))$/\1/p' <<<"$entry")
    declared=$(depends "$1" | tr ',' '\n' | sed -n "s/^ *$name (>= \(.*\))\$/\1/p")
    [ -n "$declared" ] && { [ -z "$minimum" ] || dpkg --compare-versions "$declared" ge "$minimum"; } ||
      fail "$1 does not declare $entry, which ${2##*/} needs: $(depends "$1")"
  done < <(tr ',' '\n' <<<"${needed#shlibs:Depends=}" | sed 's/^ *//; s/ *$//; /^$/d')
}
[[ $(depends brindlecast-launcher) == *"libbrindlecast-client0 (= $version)"* ]] ||
  fail "the launcher package does not depend on its library: $(depends brindlecast-launcher)"
[[ $(depends libbrindlecast-client-dev) == *"libbrindlecast-client0 (= $version)"* ]] ||
  fail "the -dev package does not depend on its library: $(depends libbrindlecast-client-dev)"
[[ $(depends libbrindlecast-client0) == *libc6* ]] || fail "the library lacks libc6: $(depends libbrindlecast-client0)"
# No maintainer script (apt-get remove would then leave the package in
# "config-files" state): the ldconfig trigger does their work.
control=$(dpkg-deb -I "$work/out/libbrindlecast-client0_${version}_$arch.deb")
[[ $control == *triggers* && $control == *shlibs* && $control != *postrm* && $control != *postinst* ]] ||
  fail "the library package's control files: $control"

# Debian's package checker, where it is installed: no error and no warning.
# A sanitized build is not what anyone packages.
if [ "$sanitized" != 1 ]; then
  if command -v lintian >/dev/null; then
    findings=$(lintian --tag-display-limit 0 "$work"/out/*.deb 2>&1 | grep -v 'running with root privileges' || true)
    [ -z "$findings" ] || fail "lintian: $findings"
  else
    echo "lintian is not installed: the packages are not checked with it"
  fi
fi

usr=$work/root/usr
lib=$usr/lib/$multiarch
for file in bin/brindlecast-launcher bin/brindlecast-state share/man/man1/brindlecast-launcher.1.gz \
  share/man/man1/brindlecast-state.1.gz include/brindlecast/client.h include/brindlecast/client.hpp \
  lib/$multiarch/libbrindlecast-client.so.$version lib/$multiarch/libbrindlecast-client.so.0 \
  lib/$multiarch/libbrindlecast-client.so lib/$multiarch/pkgconfig/brindlecast-client.pc \
  lib/$multiarch/cmake/brindlecast/brindlecastConfig.cmake \
  lib/$multiarch/cmake/brindlecast/brindlecastConfigVersion.cmake \
  lib/$multiarch/cmake/brindlecast/brindlecastTargets.cmake; do
  [ -e "$usr/$file" ] || fail "not in the packages: /usr/$file"
done
[ -x "$usr/bin/brindlecast-launcher" ] || fail "the launcher is not executable"
grep -q 'INTERFACE_COMPILE_FEATURES "cxx_std_17"' "$lib/cmake/brindlecast/brindlecastTargets.cmake" ||
  fail "the CMake package does not ask for C++17, which client.hpp needs"
# Listings are read whole: with pipefail an early-exiting grep would fail them.
man_page=$(gzip -dc "$usr/share/man/man1/brindlecast-launcher.1.gz")
[[ $man_page == ".TH BRINDLECAST-LAUNCHER 1 "* ]] || fail "the man page does not begin with its .TH line"
tgz_files=$(tar -tzf "${tgzs[0]}")
grep -q '/bin/brindlecast-launcher$' <<<"$tgz_files" || fail "the .tar.gz lacks bin/brindlecast-launcher"

# The unpacked launcher, in an environment of its own.
launcher=$usr/bin/brindlecast-launcher
expect_eq "--version" "$(env -i "$launcher" --version)" "brindlecast-launcher $version"
# It carries its C++ runtime and the two functions it needs of libm: the C
# library, the loader and the vDSO are all it loads, and the C library at the version it needs.
if [ "$sanitized" != 1 ]; then
  for needed in $(ldd "$launcher" | awk '{ print $1 }'); do
    case ${needed##*/} in
      libc.so.* | ld-linux*.so.* | linux-vdso.so.*) ;;
      *) fail "the packaged launcher loads $needed" ;;
    esac
  done
  # Each binary's package asks for at least what dpkg-shlibdeps finds it
  # needs: the launcher the C library only, brindlecast-state and the library
  # libarchive and libsodium too. Our own library has no shlibs entry to read.
  if command -v dpkg-shlibdeps >/dev/null; then
    mkdir -p "$work/shlibdeps/debian" && printf 'Source: s\n\nPackage: s\nArchitecture: any\n' >"$work/shlibdeps/debian/control"
    covers brindlecast-launcher "$launcher"
    covers brindlecast-launcher "$usr/bin/brindlecast-state"
    covers libbrindlecast-client0 "$lib/libbrindlecast-client.so.$version"
  fi
fi
root=$work/install
mkdir -p "$root/slots/1.0.0"
printf '{"active":"1.0.0","known_good":"1.0.0","channel":"stable"}' >"$root/state.json"
expect_eq "--selftest" "$(env -i "$launcher" --install-root "$root" --install-method process --selftest)" \
  '{"binary":"brindlecast-launcher","version":"'"$version"'","ok":true,"install_root":"'"$root"'","install_method":"process","entrypoint":"'"$root"'/slots/1.0.0/brindlecast-client","state":{"active":"1.0.0","known_good":"1.0.0","channel":"stable","pending":null,"failed_starts":0,"started_ok":false,"versions":{},"relaunch_intent":false}}'

# brindlecast-state on the packaged library.
expect_eq "brindlecast-state --version" "$(env -i "$usr/bin/brindlecast-state" --version)" \
  "brindlecast-state $version"
expect_eq "brindlecast-state show" "$(env -i "$usr/bin/brindlecast-state" --install-root "$root" show)" \
  '{"active":"1.0.0","known_good":"1.0.0","channel":"stable","pending":null,"failed_starts":0,"started_ok":false,"versions":{},"relaunch_intent":false}'

if [ "$sanitized" = 1 ]; then
  echo "sanitized build: not building a client against the package"
  exit 0
fi
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if ! { cmake -S "$consumer" -B "$work/consumer" ${generator[@]+"${generator[@]}"} -DCMAKE_PREFIX_PATH="$usr" &&
  cmake --build "$work/consumer"; } >"$work/consumer.log" 2>&1; then
  cat "$work/consumer.log"
  fail "a C client does not build against the package with find_package"
fi
command -v pkg-config >/dev/null || skip "pkg-config is not installed"
flags=$(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags --libs brindlecast-client) ||
  fail "pkg-config does not know brindlecast-client"
# shellcheck disable=SC2086 # the flags are words
cc -std=c99 -Wall -Werror -pedantic-errors "$consumer/consumer.c" $flags -o "$work/consumer-pc" ||
  fail "a C client does not build with: pkg-config --cflags --libs brindlecast-client ($flags)"

expected="active=2.0.0 known_good=1.0.0 pending=2.0.0 failed_starts=0 started_ok=1 relaunch_intent=0
version 2.0.0=2.0.0
missing root: 1"
mkdir -p "$root/slots/2.0.0" && : >"$root/slots/2.0.0/brindlecast-client"
expect_eq "C client output (find_package)" "$(env -u LD_LIBRARY_PATH "$work/consumer/consumer" "$root" "$work/no-root")" \
  "$expected"
# The state as it was, and no history: the trial above would count as rolled back.
printf '{"active":"1.0.0","known_good":"1.0.0","channel":"stable"}' >"$root/state.json"
rm "$root/trials.json"
expect_eq "C client output (pkg-config)" "$(env -u LD_LIBRARY_PATH "$work/consumer-pc" "$root" "$work/no-root")" \
  "$expected"
# The library wrote what the launcher reads.
report=$(env -i "$launcher" --install-root "$root" --selftest)
[[ $report == *'"pending":"2.0.0","failed_starts":0,"started_ok":true'* ]] ||
  fail "the launcher does not see the client's marks: $report"
echo "ok"
