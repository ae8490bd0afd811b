#!/usr/bin/env bash
# scripts/check-layers.sh [BUILD_DIR]
# Fails on a source with a header of its own but no tests/F/N_test.cpp, whose
# header does not say where its tests are. Given a Ninja build folder that has
# been built, also fails on a file of src/F that the compiler read from a
# folder above or beside F: a file of src/F may read its own folder,
# include/brindlecast (the client library's, for the folders that link it)
# and the folders whose libraries src/F/CMakeLists.txt links, directly or
# through them. It reads what the compiler recorded it read (ninja -t deps),
# so every spelling of an include counts ("../x/y.hpp", <x/y.hpp>, "# include").
set -eu
cd "$(dirname "$0")/.."

missing=0
for source in src/*/*.cpp; do
  name=${source#src/}
  name=${name%.cpp}
  # A source without a header of its own has no public functions of its own.
  [ -f "tests/${name}_test.cpp" ] || [ ! -f "src/$name.hpp" ] && continue
  grep -q 'tests/' "src/$name.hpp" && continue
  echo "no tests/${name}_test.cpp, and src/$name.hpp does not say where its tests are"
  missing=1
done
[ $# -eq 0 ] && exit $missing

build=$(cd "$1" && pwd -P)
[ -f "$build/build.ninja" ] || { echo "$1 is no Ninja build folder" >&2; exit 2; }
deps=$(ninja -C "$build" -t deps) || { echo "ninja -t deps fails in $1" >&2; exit 2; }
[ -n "$deps" ] || { echo "$1 has not been built: nothing to check" >&2; exit 2; }
printf '%s\n' "$deps" | awk -v root="$(pwd -P)" -v build="$build" '
  # A path as the compiler wrote it, absolute, without "." or ".." parts.
  # <build>/layers/F/ stands for src/ (F/F is a link to src/F, and the
  # compiler may have taken "F/../" away).
  function clean(path,   f) {
    if (path !~ /^\//) path = build "/" path
    if (index(path, build "/layers/") == 1) {
      path = substr(path, length(build) + 9); sub(/^[^\/]*\//, "", path); path = root "/src/" path
    }
    while (sub(/\/\.\//, "/", path)) {}
    while (sub(/\/[^\/.][^\/]*\/\.\.\//, "/", path)) {}
    return path
  }
  # The folder of src/ (or "brindlecast", the public headers) a path lies in; "" for none.
  function layer(path,   p) {
    p = clean(path)
    if (index(p, build "/generated/") == 1) { p = substr(p, length(build) + 12); sub(/\/.*/, "", p); return p }
    if (index(p, root "/src/") == 1) { p = substr(p, length(root) + 6); sub(/\/.*/, "", p); return p }
    if (index(p, root "/include/brindlecast/") == 1) return "brindlecast"
    return ""
  }
  FILENAME ~ /CMakeLists.txt$/ { split(FILENAME, p, "/"); folder = p[2] }
  FILENAME ~ /CMakeLists.txt$/ && /add_library\(brindlecast_/ {
    t = $0; sub(/.*add_library\(/, "", t); sub(/[ )].*/, "", t); owner[t] = folder
  }
  FILENAME ~ /CMakeLists.txt$/ && /target_link_libraries\(/ {
    for (i = 2; i <= NF; i++) if ($i ~ /^brindlecast_/) { n = $i; sub(/\)$/, "", n); link[folder, ++links[folder]] = n }
  }
  FILENAME == "-" && /^[^ ]/ { object = $1; sub(/:$/, "", object); from = ""; first = 1; next }
  # The first path of an object is its source.
  FILENAME == "-" && /^    / {
    path = $1
    if (first) { first = 0; from = index(clean(path), root "/src/") == 1 ? layer(path) : ""; next }
    if (from != "" && (to = layer(path)) != "" && to != from) seen[++reads] = from SUBSEP to SUBSEP object ": " clean(path)
  }
  END {
    # Which folders each folder reaches through its links, to a fixed point.
    for (f in links) for (i = 1; i <= links[f]; i++) reach[f, owner[link[f, i]]] = 1
    reach["client", "brindlecast"] = 1
    for (f in links) if ((f, "client") in reach) reach[f, "brindlecast"] = 1
    do { grew = 0
      for (a in reach) { split(a, ab, SUBSEP)
        for (c in reach) { split(c, cd, SUBSEP)
          if (ab[2] == cd[1] && !((ab[1], cd[2]) in reach)) { reach[ab[1], cd[2]] = 1; grew = 1 } } }
    } while (grew)
    for (i = 1; i <= reads; i++) {
      split(seen[i], s, SUBSEP)
      if (!((s[1], s[2]) in reach)) { print "read against the layers: " s[3]; bad = 1 }
    }
    exit bad
  }' src/*/CMakeLists.txt - || { echo "see CMakeLists.txt for the order of the layers" >&2; exit 1; }
exit $missing
