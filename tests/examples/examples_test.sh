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

# launchd: ProgramArguments of the property list; the root defaults under HOME.
plist=$examples/launchd/com.brindlecast.client.plist
if command -v python3 >/dev/null; then
  program=()
  while IFS= read -r arg; do program+=("$arg"); done < <(python3 -c 'import plistlib, sys
for a in plistlib.load(open(sys.argv[1], "rb"))["ProgramArguments"]: print(a)' "$plist")
  [ ${#program[@]} -gt 0 ] || { echo "FAIL: the plist does not parse"; exit 1; }
  check "the launchd plist" "$(env -i HOME=/Users/u "$launcher" "${program[@]:1}" --selftest)" \
    launchd "/Users/u/Library/Application Support/Brindlecast/ota/install"
else
  echo "python3 is not installed: the plist is not checked"
fi
exit $status
