#!/usr/bin/env bash
# Builds the launcher and runs it on a demo install root it creates.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
brindlecast_need_packages "${BRINDLECAST_BUILD_PACKAGES[@]}"

cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" >/dev/null
launcher=build/demo/brindlecast-launcher

echo "\$ brindlecast-launcher --version"
"$launcher" --version
