#!/bin/sh
# A man page formats without a single groff warning (all warnings on) and
# documents each text given after it (options, variables, files).
# Usage: man_page_test.sh PAGE TEXT...
set -eu
page=$1
shift
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
for needle in NAME SYNOPSIS OPTIONS ENVIRONMENT FILES "EXIT STATUS" EXAMPLES "$@"; do
  case $text in
    *"$needle"*) ;;
    *)
      echo "not in the man page: $needle"
      status=1
      ;;
  esac
done
exit $status
