#!/usr/bin/env bash
# The service-manager examples start the launcher the way their comments say:
# each one's command line, run with --selftest added, resolves the intended
# install method (a misspelt method would silently take the hand-over road)
# and install root. The plist must also parse as a property list.
# Usage: examples_test.sh LAUNCHER EXAMPLES_DIR
set -euo pipefail
launcher=$1 examples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
check() {  # name report method root
  local expected='"install_root":"'$4'","install_method":"'$3'"'
  if [[ $2 != *"$expected"* ]]; then
    echo "FAIL: $1 does not select $3 with root $4: $2"
    status=1
  fi
}

# systemd: the ExecStart= line of the unit, its %S specifier as systemd
# expands it for a system service, and the state directory it names.
unit=$examples/systemd/brindlecast.service
read -r -a exec_start < <(sed -n 's/^ExecStart=//p' "$unit" | sed 's|%S|/var/lib|g')
[ "${exec_start[0]}" = /usr/bin/brindlecast-launcher ] || { echo "FAIL: unexpected ExecStart ${exec_start[0]}"; status=1; }
check "the systemd unit" "$(env -i "$launcher" "${exec_start[@]:1}" --selftest)" systemd /var/lib/brindlecast
grep -qx 'StateDirectory=brindlecast' "$unit" || { echo "FAIL: the unit's root is not its StateDirectory"; status=1; }

# runit: the run script itself, with chpst standing in and the built launcher.
mkdir "$work/bin"
cat >"$work/bin/chpst" <<'CHPST'
#!/bin/sh
# Drops the options the example uses, then runs the command with --selftest.
while :; do
  case $1 in
    -P) shift ;;
    -u) shift 2 ;;
    *) break ;;
  esac
done
exec "$@" --selftest
CHPST
chmod +x "$work/bin/chpst"
sed "s|/usr/bin/brindlecast-launcher|$launcher|" "$examples/runit/brindlecast/run" >"$work/run"
check "the runit run script" "$(env -i PATH="$work/bin:/usr/bin:/bin" sh "$work/run")" \
  process /var/lib/brindlecast/ota/install
for script in run control/t; do
  [ -x "$examples/runit/brindlecast/$script" ] || { echo "FAIL: $script is not executable"; status=1; }
  sh -n "$examples/runit/brindlecast/$script" || status=1
done

# launchd: the property list for macOS 11 and 12, and the one the bundle
# carries for macOS 13 and later. Their ProgramArguments (after the program's
# name) give the launchd road with the root under HOME; each chooses its
# ProcessType (left out, launchd throttles the client); the bundle's names
# the launcher by BundleProgram, inside the bundle; AssociatedBundleIdentifiers
# is a string or an array of strings.
if command -v python3 >/dev/null; then
  for plist in "$examples/launchd/com.brindlecast.client.plist" \
    "$examples/launchd/macos-13/Contents/Library/LaunchAgents/com.brindlecast.client.plist"; do
    out=$(python3 -c 'import plistlib, sys
p = plistlib.load(open(sys.argv[1], "rb"))
ids = p.get("AssociatedBundleIdentifiers", [])
for ok, what in [(p.get("ProcessType") in ("Interactive", "Background", "Adaptive"), "chooses no ProcessType"),
                 (p.get("BundleProgram", "Contents/MacOS/brindlecast-launcher") == "Contents/MacOS/brindlecast-launcher",
                  "has a BundleProgram other than the launcher in the bundle"),
                 (isinstance(ids, str) or (isinstance(ids, list) and all(isinstance(i, str) for i in ids)),
                  "has an AssociatedBundleIdentifiers that is no string or array of strings")]:
    if not ok: print("FAIL: %s %s" % (sys.argv[1], what), file=sys.stderr); sys.exit(1)
for a in p["ProgramArguments"]: print(a)' "$plist") || {
      echo "FAIL: $plist does not parse, or its keys are wrong (above)"
      status=1
      continue
    }
    program=()
    while IFS= read -r arg; do program+=("$arg"); done <<<"$out"
    check "$plist" "$(env -i HOME=/Users/u "$launcher" "${program[@]:1}" --selftest)" \
      launchd "/Users/u/Library/Application Support/Brindlecast/ota/install"
  done
else
  echo "python3 is not installed: the plists are not checked"
fi
exit $status
