#!/bin/sh
# A man page formats without a single groff warning (all warnings on) and
# documents each text given after it (options, variables, files); each of
# those that is an option (it begins with -) starts a paragraph of its own in
# OPTIONS, not the middle of another's (a missing .TP).
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

# A tag of OPTIONS stands at the section's indent, the text after it deeper.
# Some groff versions render \- as a minus sign or a hyphen on UTF-8.
minus=$(printf '\342\210\222') hyphen=$(printf '\342\200\220')
options=$(groff -man -Tutf8 -ww -P-cbou "$page" 2>/dev/null | sed "s/$minus/-/g; s/$hyphen/-/g" |
  awk '/^[A-Z]/ { on = $0 == "OPTIONS"; next } on')
for needle in "$@"; do
  case $needle in
    -*)
      if ! printf '%s\n' "$options" | grep -q -e "^       $needle\$" -e "^       $needle[ ,]"; then
        echo "does not start a paragraph of its own in OPTIONS: $needle"
        status=1
      fi
      ;;
  esac
done
exit $status
