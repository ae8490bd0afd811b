#!/usr/bin/env bash
# Fails on an include that points up the layers or sideways between them: a
# file of src/F may include its own folder, include/brindlecast (the client
# library's, for the folders that link it) and the folders whose libraries
# src/F/CMakeLists.txt links, directly or through them. Also fails on a
# source with a header of its own but no tests/F/N_test.cpp, whose header
# does not say where its tests are.
set -eu
cd "$(dirname "$0")/.."
awk '
  FNR == 1 { split(FILENAME, p, "/"); folder = p[2] }
  FILENAME ~ /CMakeLists.txt$/ && /add_library\(brindlecast_/ {
    t = $0; sub(/.*add_library\(/, "", t); sub(/[ )].*/, "", t); owner[t] = folder
    if (t == "brindlecast_client") owner["brindlecast"] = folder
  }
  FILENAME ~ /CMakeLists.txt$/ && /target_link_libraries\(/ {
    for (i = 2; i <= NF; i++) if ($i ~ /^brindlecast_/) { n = $i; sub(/\)$/, "", n); link[folder, ++links[folder]] = n }
  }
  FILENAME !~ /CMakeLists.txt$/ && /^#include "[a-z_]+\// {
    g = $2; gsub(/"/, "", g); sub(/\/.*/, "", g)
    seen[++includes] = folder SUBSEP g SUBSEP FILENAME ": " $0
  }
  END {
    # Which folders each folder reaches through its links, to a fixed point.
    for (f in links) for (i = 1; i <= links[f]; i++) reach[f, owner[link[f, i]]] = 1
    for (k in owner) if (owner[k] == "client") reach["client", "brindlecast"] = 1
    for (f in links) if ((f, "client") in reach) reach[f, "brindlecast"] = 1
    do { grew = 0
      for (a in reach) { split(a, ab, SUBSEP)
        for (c in reach) { split(c, cd, SUBSEP)
          if (ab[2] == cd[1] && !((ab[1], cd[2]) in reach)) { reach[ab[1], cd[2]] = 1; grew = 1 } } }
    } while (grew)
    for (i = 1; i <= includes; i++) {
      split(seen[i], s, SUBSEP)
      if (s[1] != s[2] && !((s[1], s[2]) in reach)) { print "include against the layers: " s[3]; bad = 1 }
    }
    exit bad
  }' src/*/CMakeLists.txt src/*/*.hpp src/*/*.cpp || { echo "see CMakeLists.txt for the order of the layers" >&2; exit 1; }

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
exit $missing
