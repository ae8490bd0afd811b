#!/usr/bin/env bash
# The launcher on the hand-over road under a real service supervisor, runit's
# runsv, with the demo client in its slots. runsv starts ./run, which execs
# the launcher, which becomes the client; when the client ends, runsv starts
# ./run again. Seen from outside:
#   1. a confirmed version is restarted after every exit;
#   2. a version on trial that never confirms is started twice, and the third
#      unconfirmed start is rolled back to the known-good version;
#   3. a version on trial that confirms is committed at its next start.
# Every wait is for an observable event, bounded by a timeout.
# Usage: runsv_test.sh LAUNCHER DEMO_CLIENT
set -euo pipefail
launcher=$1 client=$2
. "$(dirname "$0")/../../scripts/lib.sh"
for tool in runsv sv; do
  command -v "$tool" >/dev/null ||
    skip "runit's $tool is not installed (scripts/test.sh installs the Debian package runit when run as root)"
done

work=$(mktemp -d)
root=$work/root
service=$work/service
log=$work/client.log
runsv_pid=
# A failure shows what the client, the launcher and runsv said.
cleanup() {
  [ $? -ne 1 ] || show
  if [ -n "$runsv_pid" ] && kill -0 "$runsv_pid" 2>/dev/null; then
    sv exit "$service" >/dev/null 2>&1 || true
    wait_for "runsv to exit" 10 not_running "$runsv_pid" || kill -KILL "$runsv_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

show() {
  echo "--- client output"
  cat "$log" 2>/dev/null || true
  echo "--- self-test"
  "$launcher" --install-root "$root" --selftest || true
  echo "--- runsv output"
  cat "$work/runsv.out" 2>/dev/null || true
}
# Polls a condition until it holds or the time is up; returns 1 on timeout.
wait_for() {  # what seconds command...
  local what=$1 deadline=$((SECONDS + $2))
  shift 2
  until "$@"; do
    if ((SECONDS >= deadline)); then
      echo "timed out waiting for $what"
      return 1
    fi
    sleep 0.05
  done
}
not_running() { ! kill -0 "$1" 2>/dev/null; }

# Lines of the client's output since the given line number.
since() { tail -n +"$(($1 + 1))" "$log"; }
lines() { wc -l <"$log"; }
starts_since() {  # line version
  local n
  n=$(since "$1" | grep -c "^    client $2 started" || true)
  echo "$n"
}
at_least_starts_since() { (($(starts_since "$1" "$2") >= $3)); }
state_shows() {  # fragment of the compact state
  local report
  report=$("$launcher" --install-root "$root" --selftest)
  [[ $report == *"$1"* ]]
}
expect_state() {
  local report
  report=$("$launcher" --install-root "$root" --selftest)
  [[ $report == *"$1"* ]] || fail "expected $1 in the state"
}

install_slot() {  # version [broken]
  mkdir -p "$root/slots/$1"
  cp "$client" "$root/slots/$1/brindlecast-client"
  if [ "${2:-}" = broken ]; then : >"$root/slots/$1/broken"; fi
}
# What an updater does: names the version active and, for a trial, pending.
write_state() {  # active known_good pending
  printf '{"active":"%s","known_good":"%s","channel":"stable","pending":%s,"versions":{"%s":"%s"}}\n' \
    "$1" "$2" "$3" "$1" "$1" >"$root/state.json.new"
  mv "$root/state.json.new" "$root/state.json"
}
# runsv may take a command late while it pauses between two quick starts,
# and its status can read "down" before a down command has been taken. So
# the command is repeated (it is idempotent) until the status shows it.
down_and_wanted_down() {
  sv down "$service" >/dev/null 2>&1 || true
  local status
  status=$(sv status "$service" 2>/dev/null) || return 1
  [[ $status == down:* && $status != *"want up"* ]]
}
up_or_wanted_up() {
  sv up "$service" >/dev/null 2>&1 || true
  local status
  status=$(sv status "$service" 2>/dev/null) || return 1
  [[ $status == run:* && $status != *"want down"* ]] || [[ $status == down:* && $status == *"want up"* ]]
}
service_down() { wait_for "the service to stay down" 30 down_and_wanted_down || fail "the service did not go down"; }
service_up() { wait_for "the service to be wanted up" 30 up_or_wanted_up || fail "the service did not come up"; }

install_slot 1.0.0
install_slot 2.0.0 broken
install_slot 3.0.0
write_state 1.0.0 1.0.0 null
: >"$log"
mkdir -p "$service"
# No install method: the hand-over road, as for a service manager.
cat >"$service/run" <<RUN
#!/bin/sh
exec >>'$log' 2>&1
exec '$launcher' --install-root '$root'
RUN
chmod +x "$service/run"

# A method in this environment would send the launcher down the other road.
env -u BRINDLECAST_INSTALL_METHOD -u BRINDLECAST_INSTALL_ROOT runsv "$service" </dev/null >"$work/runsv.out" 2>&1 &
runsv_pid=$!
wait_for "runsv to take the service" 10 test -p "$service/supervise/ok" || fail "runsv did not start"

echo "== a confirmed version is restarted after each exit"
wait_for "three starts of 1.0.0" 30 at_least_starts_since 0 1.0.0 3 || fail "1.0.0 was not restarted"
service_down
grep -q "^    client 1.0.0 started (install method none)$" "$log" || fail "the client was not started on the hand-over road"
expect_state '"active":"1.0.0","known_good":"1.0.0","channel":"stable","pending":null,"failed_starts":0'

echo "== a version on trial that never confirms is rolled back"
write_state 2.0.0 1.0.0 '"2.0.0"'
mark=$(lines)
service_up
wait_for "the known-good version after the trial" 60 at_least_starts_since "$mark" 1.0.0 1 ||
  fail "no rollback to 1.0.0"
service_down
expect_state '"active":"1.0.0","known_good":"1.0.0","channel":"stable","pending":null,"failed_starts":0'
tried=$(starts_since "$mark" 2.0.0)
[ "$tried" -eq 2 ] || fail "2.0.0 was started $tried times on trial, expected 2 before the rollback"
first=$(sed -n "$((mark + 1))p" "$log")
[ "$first" = "    client 2.0.0 started (install method none)" ] || fail "the trial did not begin with 2.0.0: $first"

echo "== a version on trial that confirms is committed"
write_state 3.0.0 1.0.0 '"3.0.0"'
mark=$(lines)
service_up
wait_for "3.0.0 to be committed" 60 state_shows '"active":"3.0.0","known_good":"3.0.0","channel":"stable","pending":null' ||
  fail "3.0.0 was not committed"
service_down
expect_state '"active":"3.0.0","known_good":"3.0.0","channel":"stable","pending":null,"failed_starts":0'
[ "$(starts_since "$mark" 1.0.0)" -eq 0 ] || fail "1.0.0 was started during a good trial"
# The commit itself is the second start's work; the line of that start may
# be lost with the client's buffered output when the down command ends it.
at_least_starts_since "$mark" 3.0.0 1 || fail "3.0.0 was committed without being started"

sv exit "$service" >/dev/null 2>&1 || true
wait_for "runsv to exit" 10 not_running "$runsv_pid" || fail "runsv did not exit"
echo "ok"
