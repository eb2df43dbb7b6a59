#!/bin/sh
# Takes the documentation's screenshots of the dialog offscreen (idle, programming against the simulated
# receiver, About box) into docs/. Usage: scripts/screenshots.sh [BUILD_DIR]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/plain}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target dialog_screenshot
QT_QPA_PLATFORM=offscreen "$build/bin/dialog_screenshot" "$root/docs"
