#!/usr/bin/env bash
# Runs the benchmarks of bench/ and prints the table of docs/performance.md.
# Takes about eleven minutes. "Ours" is the launcher as built by default (the
# C++ runtime linked in, the C library shared), measured against C programs
# linked the same way, since the shared C library alone costs any program
# its loading; the rows "the fully static option" measure it as
# BRINDLECAST_STATIC=ON links it, against the same C programs linked
# statically. Memory is the launcher's own, its private dirty pages; the
# resident size, which counts the shared C library's pages, is shown beside
# it.
#
# Every figure is a median over repeated runs. Each comparison is a ratio of
# commands measured in the same hyperfine invocation, repeated over several
# rounds whose command order rotates; the ratio shown is the median of the
# rounds' ratios. Settings (environment):
#   BRINDLECAST_BENCH_BUILD   build folder (default build/bench)
#   BRINDLECAST_BENCH_ROUNDS  hyperfine rounds per comparison (default 7)
#   BRINDLECAST_BENCH_WATCH   seconds the supervised client runs (default 10;
#                             the CPU figure is scaled to one minute)
#   BRINDLECAST_BENCH_WORK    folder for the install roots (default: a new
#                             one under TMPDIR); its file system pays the sync
#                             and holds some 2 GB
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need "${BRINDLECAST_BUILD_TOOLS[@]}" benchmark/benchmark.h rapidjson/rapidjson.h hyperfine jq minisign zstd

build=${BRINDLECAST_BENCH_BUILD:-build/bench}
rounds=${BRINDLECAST_BENCH_ROUNDS:-7}
watch=${BRINDLECAST_BENCH_WATCH:-10}
watch_runs=3
relaunches=21

echo "== build ($build)" >&2
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRINDLECAST_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target brindlecast-launcher brindlecast-launcher-static brindlecast-state json_bench \
  bench_exit0 bench_client bench_ideal_launcher bench_poll_floor \
  bench_exit0_dynamic bench_ideal_launcher_dynamic bench_poll_floor_dynamic >/dev/null
build=$(cd "$build" && pwd)
bench=$build/bench
# The product as built by default, and as BRINDLECAST_STATIC builds it.
launcher_ours=$build/brindlecast-launcher launcher_static=$bench/brindlecast-launcher-static

if [ -n "${BRINDLECAST_BENCH_WORK:-}" ]; then
  mkdir -p "$BRINDLECAST_BENCH_WORK"
  work=$(mktemp -d "$BRINDLECAST_BENCH_WORK/run.XXXXXX")
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/brindlecast-bench.XXXXXX")
fi
trap 'rm -rf "$work"' EXIT

# An install root whose slots hold the trivial static client.
make_root() {
  mkdir -p "$1/slots/1.4.2" "$1/slots/1.4.1"
  cp "$bench/client" "$1/slots/1.4.2/brindlecast-client"
  cp "$bench/client" "$1/slots/1.4.1/brindlecast-client"
}
# state.json in the layout the launcher writes: $1 the pending member, $2
# known_good.
state_text() {
  printf '{\n  "active": "1.4.2",\n  "known_good": "%s",\n  "channel": "stable",\n  "pending": %s,\n' \
    "$2" "$1"
  printf '  "failed_starts": 0,\n  "started_ok": false,\n  "versions": {\n    "1.4.1": "1.4.1",\n'
  printf '    "1.4.2": "1.4.2"\n  },\n  "relaunch_intent": false\n}'
}
state_text '"1.4.2"' 1.4.1 >"$work/trial.json"
state_text null 1.4.2 >"$work/confirmed.json"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# bench_command NAME PREP COMMAND: what compare runs as NAME, each run after PREP.
# (Plain variables named by key, cmd_NAME and prep_NAME: bash 3.2 has no
# associative arrays.)
bench_command() {
  printf -v "cmd_$1" '%s' "$3"
  printf -v "prep_$1" '%s' "$2"
}
# compare WARMUP RUNS NAME...: hyperfine rounds over the commands named, the
# order rotating from round to round; each command's median seconds per
# round go to $work/NAME.t, one line per round.
compare() {
  local warmup=$1 runs=$2
  shift 2
  local names=("$@") n=$# r i k args cmd prep
  for k in "${names[@]}"; do : >"$work/$k.t"; done
  for ((r = 0; r < rounds; r++)); do
    args=()
    for ((i = 0; i < n; i++)); do
      k=${names[(i + r) % n]}
      cmd=cmd_$k prep=prep_$k
      args+=(--command-name "$k" --prepare "${!prep}" "${!cmd}")
    done
    hyperfine -N --style none --warmup "$warmup" --runs "$runs" --export-json "$work/round.json" "${args[@]}" >/dev/null
    jq -r '.results[] | "\(.command) \(.median)"' "$work/round.json" | while read -r k t; do echo "$t" >>"$work/$k.t"; done
  done
}
ms() { median <"$work/$1.t" | awk '{ printf "%.3f ms", $1 * 1000 }'; }
# The median over the rounds of A's time over B's in the same round.
ratio() { paste "$work/$1.t" "$work/$2.t" | awk '{ print $1 / $2 }' | median | awk '{ printf "%.2f", $1 }'; }

rows=()
row() { rows+=("| $1 | $2 | $3 | $4 | $5 |"); }

echo "== launch that saves: ours (both links), ideal C launcher (both links), exec of the client, bash + jq" >&2
for k in ours static ideal ideal_dynamic direct jq; do make_root "$work/$k"; done
for k in ours static; do
  launcher=launcher_$k
  bench_command "$k" "cp $work/trial.json $work/$k/state.json" \
    "${!launcher} --install-root $work/$k --install-method systemd"
done
bench_command ideal "cp $work/trial.json $work/ideal/state.json" "$bench/ideal_launcher $work/ideal"
bench_command ideal_dynamic "cp $work/trial.json $work/ideal_dynamic/state.json" \
  "$bench/ideal_launcher-dynamic $work/ideal_dynamic"
bench_command direct "cp $work/trial.json $work/direct/state.json" "$work/direct/slots/1.4.2/brindlecast-client"
bench_command jq "cp $work/trial.json $work/jq/state.json" "$PWD/bench/jq_launcher.sh $work/jq"
compare 10 40 ours static ideal ideal_dynamic direct jq
# Each root must end on trial with one counted start, or the runs were not
# launches that save.
for k in ours static ideal ideal_dynamic jq; do
  grep -q '"failed_starts": 1' "$work/$k/state.json" || { echo "$k did not save the state" >&2; exit 1; }
done

echo "== --version against a C program that exits 0 (both links)" >&2
bench_command version true "$launcher_ours --version"
bench_command version_static true "$launcher_static --version"
bench_command exit0 true "$bench/exit0"
bench_command exit0_dynamic true "$bench/exit0-dynamic"
compare 50 200 version version_static exit0 exit0_dynamic

row "launch that saves, against the ideal C launcher on the shared C library" "$(ms ours)" "$(ms ideal_dynamic)" \
  "$(ratio ours ideal_dynamic)" "≤ 1.05"
row "\`--version\`, against a C program that exits 0 on the shared C library" "$(ms version)" \
  "$(ms exit0_dynamic)" "$(ratio version exit0_dynamic)" "≤ 1.05"
row "the fully static option: launch that saves, against the static ideal C launcher" "$(ms static)" \
  "$(ms ideal)" "$(ratio static ideal)" "≤ 1.05"
row "the fully static option: \`--version\`, against the static C program" "$(ms version_static)" "$(ms exit0)" \
  "$(ratio version_static exit0)" "≤ 1.10"
row "the ideal C launcher on the shared C library, against itself static" "$(ms ideal_dynamic)" "$(ms ideal)" \
  "$(ratio ideal_dynamic ideal)" "—"
row "the C program that exits 0 on the shared C library, against itself static" "$(ms exit0_dynamic)" \
  "$(ms exit0)" "$(ratio exit0_dynamic exit0)" "—"
row "launch that saves, against exec of the client" "$(ms ours)" "$(ms direct)" "$(ratio ours direct)" "—"
row "bash + jq launcher, against ours (times slower)" "$(ms ours)" "$(ms jq)" "$(ratio jq ours)" "≥ 12"

echo "== JSON (Google Benchmark, 5 repetitions interleaved)" >&2
"$bench/json_bench" --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
  --benchmark_min_time=0.2 --benchmark_report_aggregates_only=true --benchmark_format=json \
  --benchmark_out_format=json --benchmark_out="$work/json.json" >/dev/null 2>&1
json_median() {
  jq -r --arg n "$1" '.benchmarks[] | select(.run_name == $n and .aggregate_name == "median")
    | [.cpu_time, .time_unit, (.bytes_per_second // 0)] | @tsv' "$work/json.json"
}
json_time() { json_median "$1" | awk '{ u = $2 == "ns" ? 1e-6 : $2 == "us" ? 1e-3 : $2 == "ms" ? 1 : 1000
  v = $1 * u; if (v < 0.1) printf "%.2f µs", v * 1000; else printf "%.2f ms", v }'; }
json_ratio() { paste <(json_median "$1") <(json_median "$2") | awk '{ printf "%.2f", $1 / $4 }'; }
for n in 10 1000 100000; do
  row "decode \`state.json\`, $n \`versions\` entries; RapidJSON" "$(json_time "BM_DecodeState/$n")" \
    "$(json_time "BM_DecodeStateRapidJson/$n")" "$(json_ratio "BM_DecodeState/$n" "BM_DecodeStateRapidJson/$n")" \
    "$([ "$n" = 100000 ] && echo "≤ 1.00" || echo "—")"
done
skip_gbs=$(json_median BM_SkipUnknownMember | awk '{ printf "%.2f", $3 / 1e9 }')
# 100 MiB at 1 GB/s (10^9 bytes a second).
row "skip a 100 MiB unknown member; RapidJSON event reader" "$(json_time BM_SkipUnknownMember) ($skip_gbs GB/s)" \
  "$(json_time BM_SkipUnknownMemberRapidJson)" "$(json_ratio BM_SkipUnknownMember BM_SkipUnknownMemberRapidJson)" \
  "≤ 104.86 ms"
for n in 10 1000 100000; do
  row "encode pretty, $n \`versions\` entries; RapidJSON PrettyWriter" "$(json_time "BM_EncodePretty/$n")" \
    "$(json_time "BM_EncodePrettyRapidJson/$n")" "$(json_ratio "BM_EncodePretty/$n" "BM_EncodePrettyRapidJson/$n")" \
    "$([ "$n" = 10 ] && echo "—" || echo "≤ 1.50")"
done

echo "== supervision: $watch_runs runs of a ${watch} s client each, then $relaunches starts ending with 42" >&2
make_root "$work/sup"
cp "$work/confirmed.json" "$work/sup/state.json"
# A page of a file not yet written back counts as dirty in every process that
# maps it: the programs just built and copied are flushed first.
sync
client=$work/sup/slots/1.4.2/brindlecast-client
for ((i = 0; i < watch_runs; i++)); do
  for k in ours static; do
    launcher=launcher_$k
    "${!launcher}" --install-root "$work/sup" --install-method process --watch "$watch" "$work/$k.watch"
  done
  "$bench/poll_floor" "$client" --watch "$watch" "$work/floor.watch"
  "$bench/poll_floor-dynamic" "$client" --watch "$watch" "$work/floor_dynamic.watch"
done
# CPU before the client started (start-up, preparation, spawn) plus the
# polling while it ran, scaled to a 60 s run.
cpu() { awk '{ print ($1 + ($2 - $1) * 60e9 / $3) / 1e6 }' "$work/$1.watch" | median | awk '{ printf "%.2f", $1 }'; }
# Field 4 of a watch line is the peak resident set, field 5 the private dirty pages (kB).
kb() { awk -v f="$2" '{ print $f }' "$work/$1.watch" | median; }
mb() { kb "$1" 4 | awk '{ printf "%.2f MB", $1 / 1024 }'; }
quotient() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
for k in ours static; do
  launcher=launcher_$k
  "${!launcher}" --install-root "$work/sup" --install-method process --relaunch "$relaunches" "$work/$k.relaunch"
  awk '$1 == "exit" { e = $2 } $1 == "start" && e { print ($2 - e) / 1e6; e = 0 }' "$work/$k.relaunch" >"$work/$k.latency"
done
latency() { printf '%.1f ms (max %.1f)' "$(median <"$work/$1.latency")" "$(sort -g "$work/$1.latency" | tail -1)"; }
row "supervising: CPU per minute of client run, against the C poll loop on the shared C library" "$(cpu ours) ms" \
  "$(cpu floor_dynamic) ms" "$(quotient "$(cpu ours)" "$(cpu floor_dynamic)")" "≤ 1.05"
row "the fully static option, against the static C poll loop" "$(cpu static) ms" "$(cpu floor) ms" \
  "$(quotient "$(cpu static)" "$(cpu floor)")" "≤ 1.05"
row "supervising: private dirty memory, against the C poll loop on the shared C library" "$(kb ours 5) kB" \
  "$(kb floor_dynamic 5) kB" "$(quotient "$(kb ours 5)" "$(kb floor_dynamic 5)")" "≤ 1.30"
row "the fully static option, against the static C poll loop" "$(kb static 5) kB" "$(kb floor 5) kB" \
  "$(quotient "$(kb static 5)" "$(kb floor 5)")" "≤ 1.30"
row "for reference: peak resident size, shared C library pages included; the same loop" "$(mb ours)" \
  "$(mb floor_dynamic)" "$(quotient "$(kb ours 4)" "$(kb floor_dynamic 4)")" "—"
row "the fully static option, against the static C poll loop" "$(mb static)" "$(mb floor)" \
  "$(quotient "$(kb static 4)" "$(kb floor 4)")" "—"
row "supervising: exit 42 to the next start" "$(latency ours)" "250 ms poll" "—" "≤ 255 ms"
row "the same, the fully static option" "$(latency static)" "250 ms poll" "—" "≤ 255 ms"

echo "== install: 20 × 1,000 files of 4 KiB from .tar.zst and .tar.gz against tar -x then sync -f;" \
  "the same files, and one file of 50 MiB, against cp -a then sync -f" >&2
# Both write into install roots on the same file system and flush it: install
# by its own design (see docs/protocol.md), the reference by sync -f.
mkdir -p "$work/trees/many" "$work/trees/big" "$work/iroot/slots" "$work/croot"
for ((d = 0; d < 20; d++)); do
  mkdir "$work/trees/many/d$d"
  head -c 4096000 /dev/urandom | (cd "$work/trees/many/d$d" && split -b 4096 -a 3 - f)
done
head -c 52428800 /dev/urandom >"$work/trees/big/blob"
for t in many big; do cp "$bench/client" "$work/trees/$t/brindlecast-client"; done
printf '{"active":"1.4.2","known_good":"1.4.2","channel":"stable"}' >"$work/iroot/state.json"
# The small files archived as a publisher would (tar -C DIR -c .). They are
# random, so neither compressor shrinks them.
tar -C "$work/trees/many" -cf - . | zstd -q >"$work/many.tar.zst"
tar -C "$work/trees/many" -czf "$work/many.tar.gz" .
mkdir -p "$work/xroot" "$work/unpacked"
# ext4 without a journal does not reuse an inode freed in the last minute,
# and looks each one up again for every file it creates: after 20,000 files
# are removed, unpacking them again takes ten times as long, whoever does it.
# So nothing is removed between these runs: each output is moved aside, and
# goes with $work at the end (some 2 s a tree on a virtual disk).
aside() { echo "sh -c 'if [ -e $1 ]; then mv $1 \"\$(mktemp -d $work/unpacked/XXXXXX)\"; fi'"; }
for z in zst gz; do
  bench_command "install_$z" "$(aside "$work/iroot/slots/$z")" \
    "$build/brindlecast-state --install-root $work/iroot install --quiet --no-trial $work/many.tar.$z $z"
done
bench_command tar_zst "$(aside "$work/xroot/zst")" \
  "sh -c 'mkdir $work/xroot/zst && tar --zstd -C $work/xroot/zst -xf $work/many.tar.zst && sync -f $work/xroot/zst'"
bench_command tar_gz "$(aside "$work/xroot/gz")" \
  "sh -c 'mkdir $work/xroot/gz && tar -z -C $work/xroot/gz -xf $work/many.tar.gz && sync -f $work/xroot/gz'"
# First, as the rows after it remove what they wrote between runs. Four
# rounds, not seven: each command runs once in each place of the order, and
# the outputs kept come to 16 trees.
rounds=$((rounds < 4 ? rounds : 4)) compare 0 1 install_zst tar_zst install_gz tar_gz
files=$(find "$work/trees/many" -type f | wc -l)
for d in iroot/slots/zst iroot/slots/gz xroot/zst xroot/gz; do
  [ "$(find "$work/$d" -type f | wc -l)" -eq "$files" ] || { echo "$d does not hold the whole tree" >&2; exit 1; }
done
for t in many big; do
  bench_command "install_$t" "rm -rf $work/iroot/slots/$t" \
    "$build/brindlecast-state --install-root $work/iroot install --quiet $work/trees/$t $t"
  bench_command "cp_$t" "rm -rf $work/croot/$t" "sh -c 'cp -a $work/trees/$t $work/croot/$t && sync -f $work/croot/$t'"
done
# A round of the many small files takes some 20 s on a virtual disk: one run each.
compare 0 1 install_many cp_many
compare 1 5 install_big cp_big
row "install 20 × 1,000 files of 4 KiB, against \`cp -a\` then \`sync -f\`" "$(ms install_many)" "$(ms cp_many)" \
  "$(ratio install_many cp_many)" "≤ 1.30"
row "install one file of 50 MiB, against \`cp -a\` then \`sync -f\`" "$(ms install_big)" "$(ms cp_big)" \
  "$(ratio install_big cp_big)" "≤ 1.30"
row "install the same 20 × 1,000 files from a \`.tar.zst\`, against \`tar --zstd -x\` then \`sync -f\`" \
  "$(ms install_zst)" "$(ms tar_zst)" "$(ratio install_zst tar_zst)" "≤ 1.20"
row "the same from a \`.tar.gz\`, against \`tar -zx\` then \`sync -f\`" "$(ms install_gz)" "$(ms tar_gz)" \
  "$(ratio install_gz tar_gz)" "≤ 1.20"

echo "== verify a signed archive of 100 MiB, against minisign -V" >&2
# Exactly 100 MiB: the file, its header and the two closing blocks fill
# 10,240 of tar's records of 10 KiB.
mkdir "$work/signed"
head -c $((104857600 - 1536)) /dev/urandom >"$work/signed/brindlecast-client"
tar -C "$work/signed" -cf "$work/signed.tar" brindlecast-client
# A key without a password (-W), and minisign's default signature, over the
# BLAKE2b-512 of the archive.
minisign -G -W -p "$work/minisign.pub" -s "$work/minisign.key" >/dev/null
minisign -S -s "$work/minisign.key" -m "$work/signed.tar" -t version:1.0.0 >/dev/null
bench_command verify true "$build/brindlecast-state verify --public-key $work/minisign.pub $work/signed.tar 1.0.0"
bench_command minisign true "minisign -V -q -m $work/signed.tar -p $work/minisign.pub"
compare 2 8 verify minisign
row "verify a signed archive of 100 MiB, against \`minisign -V\`" "$(ms verify)" "$(ms minisign)" \
  "$(ratio verify minisign)" "≤ 1.10"

echo
echo "$(date -u +%Y-%m-%d), $jobs processors, $(uname -m), install roots on $(findmnt -n -o FSTYPE -T "$work" 2>/dev/null || echo '?')"
echo
echo "| measurement | ours | reference | ratio | target |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
