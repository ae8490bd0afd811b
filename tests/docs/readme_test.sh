#!/usr/bin/env bash
# Checks that the README stays true, as doctests do: every fenced c and cpp
# block compiles with -Wall -Werror and links against the client library
# (those of the walkthrough become commands it runs), and a call whose result
# is dropped does not, in C or C++; the walkthrough (the
# sh blocks of its section, one session) runs in a
# scratch directory under bash, and under interactive zsh as a Mac's
# terminal would run it pasted (skipped with one line without zsh), and
# prints exactly its text blocks, scratch paths aside; and a prefix
# install's brindlecast-state runs with no environment variable set, its
# pkg-config file where the README says.
# Usage: readme_test.sh README BUILD_DIR
set -euo pipefail
readme=$1 build=$(cd "$2" && pwd)
source_dir=$(cd "$(dirname "$readme")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/readme-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../../scripts/lib.sh"

# Splits the README into work/block-NNN.LANG files, one per fenced block;
# those of the walkthrough's section are walk-NNN.LANG.
awk -v dir="$work" '
  /^## / && !open { walk = $0 == "## Walkthrough" }
  /^```/ && !open {
    lang = substr($1, 4); n++; open = 1
    file = sprintf("%s/%s-%03d.%s", dir, walk ? "walk" : "block", n, lang == "" ? "text" : lang)
    next
  }
  /^```/ && open { close(file); open = 0; next }
  open { print > file }
' "$readme"

# Every block compiles; a walkthrough program, which names itself on its
# first line (/* updater.c: ... */), becomes that command for the walkthrough.
compiled=0
library_dir=$build/src/client
mkdir "$work/bin"
for block in "$work"/block-*.c "$work"/block-*.cpp "$work"/walk-*.c; do
  [ -f "$block" ] || continue
  case $block in
  *.c) compiler=${CC:-cc} standard=-std=c11 ;;
  *) compiler=${CXX:-c++} standard=-std=c++17 ;;
  esac
  out=$block.out
  case $block in
  */walk-*) out=$work/bin/$(sed -n '1s#^/\* \([a-z_-]*\)\.c: .*#\1#p' "$block") ;;
  esac
  [ "$out" != "$work/bin/" ] || fail "$(basename "$block") does not name itself on its first line"
  "$compiler" $standard -Wall -Werror -I"$source_dir/include" "$block" -L"$library_dir" -lbrindlecast-client \
    -Wl,-rpath,"$library_dir" -o "$out" 2>"$block.log" ||
    fail "$(basename "$block") does not compile: $(cat "$block.log")"
  compiled=$((compiled + 1))
done

# The README says a dropped result is a warning: a line that drops one must
# not compile, in C and in C++, and for that reason. GCC warns of it only
# when it compiles, so the programs are compiled, not just checked.
printf '#include <brindlecast/client.h>\nint main(void) { brindlecast_confirm_start(NULL, "c"); return 0; }\n' \
  >"$work/dropped.c"
printf '#include <brindlecast/client.hpp>\nint main() { brindlecast::client::confirm_start("c"); }\n' >"$work/dropped.cpp"
for dropped in "$work/dropped.c" "$work/dropped.cpp"; do
  case $dropped in
  *.c) compiler=${CC:-cc} standard=-std=c89 ;;
  *) compiler=${CXX:-c++} standard=-std=c++17 ;;
  esac
  ! "$compiler" $standard -Wall -Werror -I"$source_dir/include" -c "$dropped" -o "$dropped.o" 2>"$dropped.log" ||
    fail "$(basename "$dropped") drops a result and still compiles"
  grep -q 'unused-result' "$dropped.log" || fail "$(basename "$dropped") fails for another reason: $(cat "$dropped.log")"
done

# A scratch path is whatever mktemp -d made, a time whenever it was: shown
# and got alike as SCRATCH and TIME.
scrub() { sed -E -e 's#[^ "]*/tmp\.[A-Za-z0-9]+#SCRATCH#g' -e 's#[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z#TIME#g'; }
cat "$work"/walk-*.sh >"$work/walkthrough.sh" 2>/dev/null || fail "the walkthrough has no sh block"
expected=$(cat "$work"/walk-*.text | scrub)
walked=""
# walk NAME SHELL...: runs the walkthrough from a directory whose build/ is
# this build, as after the README's build lines, and compares its output.
walk() {
  local name=$1 run=$work/run-$1 got
  shift
  mkdir -p "$run" && ln -s "$build" "$run/build"
  got=$(cd "$run" && env TMPDIR="$run" PATH="$work/bin:$PATH" "$@" <"$work/walkthrough.sh" 2>"$run.err" | scrub) ||
    fail "the walkthrough failed under $name: $got$(tail -n 5 "$run.err")"
  [ "$got" = "$expected" ] || {
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$got") >&2 || true
    fail "the walkthrough does not print under $name what the README shows (diff: shown, then got)"
  }
  walked="$walked, $name"
}
walk bash bash -e
[ ! -s "$work/run-bash.err" ] || fail "the walkthrough wrote to standard error under bash: $(cat "$work/run-bash.err")"
# Interactive zsh takes # for a word, not a comment, and its prompts go to
# standard error.
if command -v zsh >/dev/null; then
  walk zsh zsh -f -i -e
else
  echo "== $script: zsh is not installed: the walkthrough runs under bash only"
fi

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
version=$(env -i "$prefix/bin/brindlecast-state" --version 2>&1) || fail "the installed brindlecast-state fails: $version"
[ "$version" = "brindlecast-state $(build_version "$build")" ] || fail "the installed brindlecast-state says: $version"
# Where the README says a prefix install's pkg-config file lies.
pc_dir=$prefix/lib/pkgconfig
[ ! -f /etc/debian_version ] || pc_dir=$prefix/lib/$(${CC:-cc} -print-multiarch)/pkgconfig
[ -f "$pc_dir/brindlecast-client.pc" ] || fail "the prefix install has no $pc_dir/brindlecast-client.pc"

echo "== $script: $compiled code examples compiled and linked, a dropped result fails in C and C++, the walkthrough printed what is shown (${walked#, }), a prefix install runs"
