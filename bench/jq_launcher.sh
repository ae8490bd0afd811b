#!/bin/bash
# The launch that saves as a user would script it with bash and jq: the same
# trial, commit and rollback rules, the state written through state.json.tmp,
# flushed and renamed, then the client started in place.
#
#   jq_launcher.sh ROOT [ARGS...]
set -euo pipefail
root=$1
shift
state=$root/state.json
out=$(jq -r '
  (.failed_starts // .boot_attempts // 0) as $n
  | del(.boot_attempts)
  | .failed_starts = $n
  | .started_ok = (.started_ok // false)
  | .relaunch_intent = (.relaunch_intent // false)
  | (if .relaunch_intent then .relaunch_intent = false | .started_ok = false | .changed = true
     elif .pending == null then (if .started_ok then .started_ok = false | .changed = true else . end)
     elif .started_ok then .known_good = .active | .pending = null | .failed_starts = 0
                           | .started_ok = false | .changed = true
     else .failed_starts += 1 | .changed = true
          | if .failed_starts > 2 then .active = .known_good | .pending = null | .failed_starts = 0
            else . end
     end)
  | (.changed // false), .active,
    {active, known_good, channel, pending, failed_starts, started_ok,
     versions: (.versions // {}), relaunch_intent}
' "$state")
{
  read -r changed
  read -r active
  IFS= read -r -d '' doc || true
} <<<"$out"
doc=${doc%$'\n'}
if [ "$changed" = true ]; then
  printf '%s' "$doc" >"$state.tmp"
  sync -- "$state.tmp"
  mv -f -- "$state.tmp" "$state"
fi
export BRINDLECAST_INSTALL_ROOT=$root BRINDLECAST_LAUNCHER_PATH=$0 BRINDLECAST_INSTALL_METHOD=systemd
exec "$root/slots/$active/brindlecast-client" "$@"
