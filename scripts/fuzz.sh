#!/usr/bin/env bash
# Builds the libFuzzer targets in build/fuzz with Clang and runs each for a
# bounded time (BRINDLECAST_FUZZ_SECONDS, default 60). New inputs go to a
# fresh temporary corpus; the seeds and the shared JSON test suite are only
# read. Any finding fails the script and keeps its reproducer under
# build/fuzz/findings. Where the compiler cannot build fuzzers, the run is
# skipped with a message and exit status 0.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need "${BRINDLECAST_BUILD_TOOLS[@]}"
# libFuzzer ships with Clang's runtime; without it the probe below skips.
want clang++ "$BRINDLECAST_CLANG_RUNTIME"

seconds=${BRINDLECAST_FUZZ_SECONDS:-60}
cxx=${BRINDLECAST_FUZZ_CXX:-clang++}
suite=${BRINDLECAST_JSON_TEST_SUITE:-../shared/json-test-suite}/test_parsing
build=${BRINDLECAST_FUZZ_BUILD_DIR:-build/fuzz}
findings=$build/findings

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$scratch/probe.cpp"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$scratch/probe.cpp" -o "$scratch/probe" >"$scratch/probe.log" 2>&1; then
  sed 's/^/   /' "$scratch/probe.log" | tail -n 5 >&2
  skip "$cxx cannot build libFuzzer targets (-fsanitize=fuzzer); on Debian install clang and libclang-rt-$llvm-dev, on a Mac point BRINDLECAST_FUZZ_CXX at a clang++ with libFuzzer (Apple's has none)"
fi

echo "== fuzz: configure and build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DBRINDLECAST_WERROR=ON -DBRINDLECAST_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target fuzz_state fuzz_launcher_config fuzz_version

if [ -d "$suite" ]; then
  json_seeds=("$suite")
else
  echo "== fuzz: note: $suite not found; the JSON fuzzers start from their own seeds only"
  json_seeds=()
fi

mkdir -p "$findings"
failed=()
run_fuzzer() {
  local name=$1
  shift
  local corpus="$scratch/corpus-$name" log="$build/$name.log"
  mkdir -p "$corpus"
  echo "== fuzz: $name for ${seconds} s"
  # The first corpus directory receives the new inputs: a fresh one, so the
  # seeds and the shared suite are never written to.
  if "$build/fuzz/$name" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$findings/$name-" \
    "$corpus" "fuzz/seeds/$name" "$@" >"$log" 2>&1; then
    grep -E '^(Done [0-9]+ runs|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))' "$log" |
      sed 's/^/   /' || true
  else
    echo "== fuzz: $name FAILED; the end of $log:" >&2
    tail -n 40 "$log" >&2
    failed+=("$name")
  fi
}

# bash 3.2 takes an empty "${a[@]}" for an unset variable under set -u.
run_fuzzer fuzz_state ${json_seeds[@]+"${json_seeds[@]}"}
run_fuzzer fuzz_launcher_config ${json_seeds[@]+"${json_seeds[@]}"}
run_fuzzer fuzz_version

[ ${#failed[@]} -eq 0 ] || fail "findings in ${failed[*]}; reproducers in $findings (run: $build/fuzz/<fuzzer> <file>)"
echo "== fuzz: no findings"
