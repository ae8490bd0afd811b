#!/bin/sh
# The man page formats without a single groff warning (all warnings on) and
# documents every option, variable and file of the launcher.
set -eu
page=$1
if ! command -v groff >/dev/null 2>&1; then
  echo "SKIP: groff is not installed (Debian package groff-base, see scripts/deps.sh)"
  exit 77
fi

warnings=$(groff -man -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
  echo "groff warnings:"
  echo "$warnings"
  exit 1
fi

# What a reader looks for, as it appears in the formatted text.
text=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null)
status=0
for needle in NAME SYNOPSIS OPTIONS ENVIRONMENT FILES "EXIT STATUS" EXAMPLES \
  --install-root --install-method --version --selftest \
  BRINDLECAST_INSTALL_ROOT BRINDLECAST_INSTALL_METHOD BRINDLECAST_LAUNCHER_PATH HOME \
  launcher.json state.json state.json.tmp slots/ relaunch_intent started_ok known_good \
  " 42 " "1, 2, 5 and then 10 seconds" "fifth quick failure" "60 seconds"; do
  case $text in
    *"$needle"*) ;;
    *)
      echo "not in the man page: $needle"
      status=1
      ;;
  esac
done
exit $status
