#!/usr/bin/env bash
# Signs an application bundle that carries the launcher for distribution:
# inside out, each item with the hardened runtime and a secure timestamp,
# first the libraries in Contents/Frameworks, then the programs in
# Contents/MacOS beside the launcher, then the bundle, whose signature is
# made on its executable, the launcher. A signature seals what lies inside
# the item, so an item signed after its container would break the
# container's seal; --deep is not used, since it hides that order. Then
# verifies every signature in the bundle. With --notarize PROFILE it zips the
# bundle with ditto, submits the zip to Apple's notary service with the
# credentials notarytool stored under PROFILE in the keychain, waits,
# staples the ticket to the bundle and asks Gatekeeper to assess it (an
# unnotarized Developer ID bundle is refused, so that check waits for the
# ticket). --dry-run prints the commands, in order, and runs none.
# docs/macos.md says why each step is there.
set -euo pipefail

script=sign-macos
usage() {
  echo "usage: scripts/sign-macos.sh [--dry-run] [--notarize PROFILE] BUNDLE IDENTITY"
  echo "  BUNDLE    the .app to sign, e.g. build/macos-universal/Example.app"
  echo "  IDENTITY  the signing identity, e.g. \"Developer ID Application: Example Corp (ABCDE12345)\""
}
fail() {
  echo "$script: $*" >&2
  exit 1
}

dry_run=no profile="" operands=()
while [ $# -gt 0 ]; do
  case $1 in
    --dry-run) dry_run=yes ;;
    --notarize)
      if [ $# -lt 2 ] || [ -z "$2" ]; then
        fail "--notarize needs the keychain profile notarytool stored the credentials under"
      fi
      profile=$2
      shift
      ;;
    -h | --help)
      usage
      exit 0
      ;;
    --)
      shift
      operands+=("$@")
      break
      ;;
    # A lone - is an identity: codesign's ad-hoc one.
    -?*) fail "unknown option $1 (see --help)" ;;
    *) operands+=("$1") ;;
  esac
  shift
done
[ ${#operands[@]} -eq 2 ] || {
  usage >&2
  exit 2
}
bundle=${operands[0]%/} identity=${operands[1]}
[ -f "$bundle/Contents/Info.plist" ] || fail "$bundle is not an application bundle: it has no Contents/Info.plist"
[ -n "$identity" ] || fail "the signing identity is empty"
# The linker signs ad hoc already; an ad-hoc signature takes no timestamp
# and is neither notarized nor accepted by Gatekeeper.
[ "$identity" != - ] || fail "identity - is an ad-hoc signature, which the build has made already: give a Developer ID"

# The bundle's executable, from the XML Info.plist the build writes.
executable=$(awk '/<key>CFBundleExecutable<\/key>/ { want = 1; sub(/.*<key>CFBundleExecutable<\/key>/, "") }
  want && /<string>/ { sub(/.*<string>/, ""); sub(/<\/string>.*/, ""); print; exit }' "$bundle/Contents/Info.plist")
[ -n "$executable" ] || fail "$bundle/Contents/Info.plist names no CFBundleExecutable"
[ -f "$bundle/Contents/MacOS/$executable" ] || fail "the bundle's executable $bundle/Contents/MacOS/$executable is missing"

if [ $dry_run = no ]; then
  [ "$(uname -s)" = Darwin ] || fail "codesign, notarytool and stapler are macOS's: run this on a Mac, or with --dry-run"
  for tool in codesign ditto xcrun spctl; do
    command -v $tool >/dev/null || fail "needs $tool (xcode-select --install)"
  done
fi

# quote ARG: ARG as the shell reads it back.
quote() {
  case $1 in
    "" | *[!A-Za-z0-9_./:=@%+,-]*) printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")" ;;
    *) printf '%s' "$1" ;;
  esac
}
# run COMMAND...: prints the command, then runs it unless this is a dry run.
run() {
  local arg line=""
  for arg in "$@"; do line="$line${line:+ }$(quote "$arg")"; done
  if [ $dry_run = yes ]; then
    echo "$line"
  else
    echo "+ $line"
    "$@" || fail "failed: $line"
  fi
}
sign() { run codesign --force --options runtime --timestamp --sign "$identity" "$1"; }

# The libraries: what the programs load must be sealed before them. Links
# (libfoo.dylib -> libfoo.0.dylib) are sealed as links by the bundle.
libraries=() helpers=()
if [ -d "$bundle/Contents/Frameworks" ]; then
  while IFS= read -r entry; do
    [ ! -L "$entry" ] || continue
    case $entry in
      *.dylib) [ -f "$entry" ] && libraries+=("$entry") ;;
      # A framework or a nested bundle has an order of its own inside.
      *) fail "$entry is not a library this script signs; sign it first, inside out, by hand" ;;
    esac
  done < <(find "$bundle/Contents/Frameworks" -mindepth 1 -maxdepth 1 | LC_ALL=C sort)
fi
# The programs beside the launcher (the client, brindlecast-state).
while IFS= read -r entry; do
  [ "$entry" = "$bundle/Contents/MacOS/$executable" ] || helpers+=("$entry")
done < <(find "$bundle/Contents/MacOS" -mindepth 1 -maxdepth 1 -type f | LC_ALL=C sort)

for item in ${libraries[@]+"${libraries[@]}"} ${helpers[@]+"${helpers[@]}"} "$bundle"; do
  sign "$item"
done
run codesign --verify --deep --strict --verbose=2 "$bundle"

if [ -n "$profile" ]; then
  # The zip holds the bundle before stapling: it is for the notary alone.
  zip=${bundle%.app}.zip
  run ditto -c -k --keepParent "$bundle" "$zip"
  run xcrun notarytool submit "$zip" --keychain-profile "$profile" --wait
  run xcrun stapler staple "$bundle"
  run rm -f "$zip"
  run spctl --assess --type execute --verbose "$bundle"
fi
