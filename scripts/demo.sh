#!/usr/bin/env bash
# Builds the launcher and a demo client, creates a demo install root under
# build/demo-root, installs the demo client's versions from build/demo-download
# and walks through a trial that is committed and one that is rolled back,
# showing the launcher's self-test report between the steps and the trials'
# outcomes at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need "${BRINDLECAST_BUILD_TOOLS[@]}"

echo "== Building the launcher, brindlecast-state and the demo client (build/demo)"
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/demo -j "$jobs" --target brindlecast-launcher brindlecast-state demo-client
launcher=$PWD/build/demo/brindlecast-launcher
state_command=$PWD/build/demo/brindlecast-state
root=$PWD/build/demo-root download=$PWD/build/demo-download
rm -rf "$root" "$download"
# Whoever can write the install root chooses what runs: this user alone.
mkdir -m 700 "$root"

download() {  # version [broken]: a version as an updater downloads it, in a directory of its own
  mkdir -p "$download/$1"
  cp build/demo/examples/demo-client/demo-client "$download/$1/brindlecast-client"
  if [ "${2:-}" = broken ]; then touch "$download/$1/broken"; fi
}
# What an installer or an updater runs.
state() {
  echo "\$ brindlecast-state $*"
  "$state_command" --install-root "$root" "$@"
}
step() { printf '\n== %s\n' "$*"; }
run() {
  echo "\$ brindlecast-launcher $*"
  "$launcher" --install-root "$root" "$@" || echo "(exit status $?)"
}
selftest() { run --selftest; }

run --version
step "Install root $root with version 1.0.0, known to be good"
download 1.0.0
state install --init "$download/1.0.0" 1.0.0 1.0.0
selftest

step "Version 2.0.0 is installed and put on trial"
download 2.0.0
state install "$download/2.0.0" 2.0.0 2.0.0
selftest

step "A service manager starts it (hand-over road): the start is counted, the client confirms"
run --install-method systemd
selftest

step "The next start commits 2.0.0 as known good"
run --install-method systemd
selftest

step "Version 3.0.0 is installed on trial, but it never starts well"
download 3.0.0 broken
state install "$download/3.0.0" 3.0.0 3.0.0
selftest

step "As a plain process the launcher supervises: two failed starts (1 s, 2 s back-off), then it rolls back to 2.0.0"
run --install-method process
selftest

step "What became of each trial; 3.0.0 is not offered again by accident"
state status
state install "$download/3.0.0" 3.0.0b 3.0.0 || echo "(exit status $?)"

step "Clean-up: the slots nothing in the state names are removed"
state prune --min-age 0
# shellcheck disable=SC2012 # names for the eye, which the demo chose
echo "left in slots/: $(ls "$root/slots" | tr "\n" " ")"
