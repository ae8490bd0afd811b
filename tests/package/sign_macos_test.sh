#!/usr/bin/env bash
# scripts/sign-macos.sh signs inside out: its dry run on the example bundle
# prints the library, the programs beside the launcher, the bundle, the
# check, then the notarization and Gatekeeper's assessment, each command
# whole and in that order. On Linux the script runs as a Mac's shell meets
# it (../shared/tools/mac-shell: bash 3.2, a Mac's commands) where this
# machine has that shell, else under bash.
# Usage: sign_macos_test.sh BUNDLE
set -euo pipefail
bundle=$1
cd "$(dirname "$0")/../.."
. scripts/lib.sh
[ -d "$bundle" ] || fail "there is no bundle $bundle"
shell=bash
[ "$os" = Darwin ] || [ ! -x ../shared/tools/mac-shell ] || shell="../shared/tools/mac-shell bash"

identity="Developer ID Application: Example Corp (ABCDE12345)"
got=$($shell scripts/sign-macos.sh --dry-run --notarize notary "$bundle" "$identity") ||
  fail "the dry run failed: $got"
# The bundle's folder as DIR, literally (bash 3.2 takes a quoted pattern in ${x//p/r} apart).
got=$(awk -v dir="$(dirname "$bundle")/" '{
  while ((i = index($0, dir)) > 0) $0 = substr($0, 1, i - 1) "DIR/" substr($0, i + length(dir))
  print }' <<<"$got")
sign="codesign --force --options runtime --timestamp --sign 'Developer ID Application: Example Corp (ABCDE12345)'"
expected="$sign DIR/Example.app/Contents/Frameworks/libbrindlecast-client.0.dylib
$sign DIR/Example.app/Contents/MacOS/brindlecast-client
$sign DIR/Example.app/Contents/MacOS/brindlecast-state
$sign DIR/Example.app
codesign --verify --deep --strict --verbose=2 DIR/Example.app
ditto -c -k --keepParent DIR/Example.app DIR/Example.zip
xcrun notarytool submit DIR/Example.zip --keychain-profile notary --wait
xcrun stapler staple DIR/Example.app
rm -f DIR/Example.zip
spctl --assess --type execute --verbose DIR/Example.app"
[ "$got" = "$expected" ] || {
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$got") >&2 || true
  fail "the dry run of $bundle does not print the commands in the expected order (diff: expected, then got)"
}
echo "== sign_macos_test: the dry run on $bundle signs inside out, verifies, notarizes and staples, in order"
