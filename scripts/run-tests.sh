#!/usr/bin/env bash
# Every test: the suite plainly, under AddressSanitizer with UndefinedBehaviorSanitizer, the threaded parts
# under ThreadSanitizer, and a short fixed-budget fuzz run. Installs what it needs and builds.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${KV_BUILD_ROOT:-$here/build}
jobs=$(nproc)
"$here/scripts/install-deps.sh"

export QT_QPA_PLATFORM=offscreen
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export LSAN_OPTIONS=suppressions=$here/tests/lsan.supp
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

step() { printf '\n=== %s ===\n' "$*"; }

step "plain build and tests"
cmake -S "$here" -B "$out/plain" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_WERROR=ON
cmake --build "$out/plain" -j "$jobs"
ctest --test-dir "$out/plain" --output-on-failure -j "$jobs" --timeout 300

# The Windows programs cross-built with mingw-w64, their suites under Wine against the Linux simulator (from
# the plain build), kavrel-line.exe end to end, the installer installed and removed, and kavrel.exe's
# unattended runs under Wine with a virtual display.
step "Windows build, installer and suites under Wine"
"$here/scripts/build-windows.sh"
"$here/scripts/package-windows.sh"
KV_LINUX_BIN="$out/plain/bin" "$here/scripts/test-windows.sh"
"$here/scripts/test-windows-dialog.sh" "$out/windows" "$out/plain"

# A user's build must not stop on a warning: build (no tests) the whole tree, dialog included, as users build
# it (Release, -O3), with GCC and with Clang, warnings as errors.
step "warnings: GCC and Clang Release builds"
cmake -S "$here" -B "$out/release-gcc" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_WERROR=ON
cmake --build "$out/release-gcc" -j "$jobs"
CC=clang CXX=clang++ cmake -S "$here" -B "$out/release-clang" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_WERROR=ON
cmake --build "$out/release-clang" -j "$jobs"

step "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S "$here" -B "$out/asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=address -DKV_WERROR=ON
cmake --build "$out/asan" -j "$jobs"
ctest --test-dir "$out/asan" --output-on-failure -j "$jobs" --timeout 600

step "ThreadSanitizer (threaded parts)"
cmake -S "$here" -B "$out/tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=thread -DKV_BUILD_APP=OFF -DKV_WERROR=ON
cmake --build "$out/tsan" -j "$jobs"
# Without address randomisation TSan's shadow mapping works on every kernel.
setarch "$(uname -m)" -R ctest --test-dir "$out/tsan" --output-on-failure -j "$jobs" --timeout 600

step "fuzzing (fixed budget)"
CC=clang CXX=clang++ cmake -S "$here" -B "$out/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_BUILD_FUZZ=ON \
  -DKV_BUILD_APP=OFF
cmake --build "$out/fuzz" -j "$jobs" --target fuzz_all
"$here/fuzz/run.sh" "$out/fuzz" "${KV_FUZZ_SECONDS:-60}"

step "all tests passed"
