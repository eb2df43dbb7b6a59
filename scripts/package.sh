#!/usr/bin/env bash
# Builds the Debian package kavrel_<version>-<release>_<arch>.deb with CPack into build/package/.
# Compiler and linker flags come from dpkg-buildflags (Debian's hardening defaults); the run-time
# dependencies are computed from the programs by dpkg-shlibdeps. Run as root on Debian 12 (installs what
# it needs with apt-get), or as any user once those packages are there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${KV_BUILD_ROOT:-$here/build}/package

"$here/scripts/install-deps.sh"
# help2man writes the manual pages from --help; CPack's shlibdeps needs file and dpkg-shlibdeps.
extra=()
for p in help2man file dpkg-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || extra+=("$p")
done
if [ ${#extra[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${extra[@]}"
fi

# The same flags a Debian package build uses; cmake reads CFLAGS, CXXFLAGS and LDFLAGS from the
# environment, and CPPFLAGS go with the compiler flags.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
# Dates in the manual pages and the changelog follow the last commit, so a rebuild gives the same files.
SOURCE_DATE_EPOCH=$(git -C "$here" log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH

rm -rf "$out"
# The package needs the programs, not the tests: install does not build everything first.
cmake -S "$here" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_MAN_PAGES=ON \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON -DCMAKE_STRIP="$here/cmake/strip-for-deb.sh"
targets=(kavrel kavrel-sim kavrel-image kv_sfl_file kv_man_pages kv_changelog)
if cmake --build "$out" --target help | grep -q '^kavrel-line:'; then targets+=(kavrel-line); fi
cmake --build "$out" -j "$(nproc)" --target "${targets[@]}"
(cd "$out" && cpack -G DEB)
ls "$out"/kavrel_*.deb
