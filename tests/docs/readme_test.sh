#!/usr/bin/env bash
# Checks that the README stays true, as doctests do: every fenced c and cpp
# block compiles with -Wall -Werror and links against the client library;
# every sh block that shows output ("#> " lines) runs in a scratch directory
# and prints exactly that, scratch paths aside; and a prefix install's
# brindlecast-state runs with no environment variable set.
# Usage: readme_test.sh README BUILD_DIR
set -euo pipefail
readme=$1 build=$(cd "$2" && pwd)
source_dir=$(cd "$(dirname "$readme")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/readme-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "README: FAILED: $*" >&2; exit 1; }

# Splits the README into work/block-N.LANG files, one per fenced block.
awk -v dir="$work" '
  /^```/ && !open { lang = substr($1, 4); n++; file = dir "/block-" n "." (lang == "" ? "text" : lang); open = 1; next }
  /^```/ && open { close(file); open = 0; next }
  open { print > file }
' "$readme"

compiled=0 walked=0
library_dir=$build/src/client
for block in "$work"/block-*.c "$work"/block-*.cpp; do
  [ -f "$block" ] || continue
  case $block in
  *.c) compiler=${CC:-cc} standard=-std=c11 ;;
  *) compiler=${CXX:-c++} standard=-std=c++17 ;;
  esac
  "$compiler" $standard -Wall -Werror -I"$source_dir/include" "$block" -L"$library_dir" -lbrindlecast-client \
    -Wl,-rpath,"$library_dir" -o "$block.out" 2>"$block.log" ||
    fail "$(basename "$block") does not compile: $(cat "$block.log")"
  compiled=$((compiled + 1))
done

# A scratch path is whatever mktemp -d made: shown and got alike as SCRATCH.
scrub() { sed -E 's#[^ "]*/tmp\.[A-Za-z0-9]+#SCRATCH#g'; }
for block in "$work"/block-*.sh; do
  [ -f "$block" ] || continue
  grep -q '^#> ' "$block" || continue
  expected=$(sed -n 's/^#> //p' "$block" | scrub)
  # The block runs from a directory whose build/ is this build, as after
  # the README's build lines.
  run=$work/run-$walked
  mkdir -p "$run" && ln -s "$build" "$run/build"
  got=$(cd "$run" && env TMPDIR="$run" bash -e "$block" 2>&1 | scrub) || fail "$(basename "$block") failed: $got"
  [ "$got" = "$expected" ] || {
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$got") >&2 || true
    fail "$(basename "$block") does not print what the README shows (diff: shown, then got)"
  }
  walked=$((walked + 1))
done

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
version=$(env -i "$prefix/bin/brindlecast-state" --version 2>&1) || fail "the installed brindlecast-state fails: $version"
[ "$version" = "brindlecast-state 0.1.0" ] || fail "the installed brindlecast-state says: $version"

echo "== README: $compiled code examples compiled and linked, $walked walkthrough(s) printed what is shown, a prefix install runs"
