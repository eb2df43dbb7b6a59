#!/usr/bin/env bash
# Builds the .deb, installs it into a fresh Debian 12 root (debootstrap) with apt-get, so that its
# dependencies come from the archive, and checks the installed programs there:
#   an unattended upload of a sample image with the installed kavrel and loader file to the installed
#   kavrel-sim (exit 0, the simulator's flash equals the image); `man kavrel`; the desktop entry; the icon
#   cache. Then lintian on the package. Needs root (debootstrap, chroot, mounts) and Debian's archive.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${KV_BUILD_ROOT:-$here/build}
mirror=${KV_DEBIAN_MIRROR:-http://deb.debian.org/debian}
[ "$(id -u)" -eq 0 ] || { echo "test-package.sh: run as root" >&2; exit 1; }

"$here/scripts/package.sh"
deb=$(ls "$build"/package/kavrel_*.deb | head -n 1)

missing=()
for p in debootstrap lintian desktop-file-utils; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

root=$(mktemp -d /var/tmp/kavrel-root.XXXXXX)
# The root folder of the new system must be open to its other users (_apt, man).
chmod 755 "$root"
mounted=()
cleanup() {
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -R -l "${mounted[i]}" || true; done
  # Remove the root only when nothing is mounted below it any more.
  if ! findmnt -rn -o TARGET | grep -q "^$root/"; then rm -rf "$root"; else echo "left $root (mounts)"; fi
}
trap cleanup EXIT

echo "== debootstrap bookworm into $root"
mkdir -p "$build/debootstrap-cache"
debootstrap --variant=minbase --cache-dir="$build/debootstrap-cache" bookworm "$root" "$mirror" \
  > "$build/debootstrap.log" 2>&1 || { tail -n 20 "$build/debootstrap.log"; exit 1; }
mount -t proc proc "$root/proc" && mounted+=("$root/proc")
mount --rbind /sys "$root/sys" && mount --make-rslave "$root/sys" && mounted+=("$root/sys")
mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev" && mounted+=("$root/dev")
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
cp "$deb" "$root/tmp/"

in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  DEBIAN_FRONTEND=noninteractive "$@"; }

echo "== apt-get install ./$(basename "$deb") (with man-db, and the desktop and icon cache tools first)"
in_root apt-get update -q
in_root apt-get install -y -q --no-install-recommends man-db desktop-file-utils gtk-update-icon-cache \
  hicolor-icon-theme > /dev/null
dpkg-deb -f "$deb" Depends Recommends
in_root sh -c 'cd /tmp && apt-get install -y ./kavrel_*.deb' |
  grep -E '^[0-9]+ upgraded|kavrel|^Processing triggers' || true

echo "== unattended upload to the installed kavrel-sim"
upload=0
in_root sh -c '
  set -u
  cd /tmp
  kavrel-image build union sample.bin > /dev/null || exit 1
  kavrel-sim --once --version A102 --flash-out flash.bin --link port --stats sim-stats.txt > sim.out 2> sim.err &
  sim=$!
  for _ in $(seq 1 100); do [ -e port ] && break; sleep 0.1; done
  kavrel -i sample.bin -p /tmp/port -m -n -l run.log > kavrel.out
  code=$?
  wait "$sim"
  tail -n 3 kavrel.out
  grep -h "Upload SFLD From file" run.log
  echo "kavrel exit code: $code"
  if cmp -s -n "$(stat -c%s sample.bin)" flash.bin sample.bin; then
    echo "flash equals the image ($(stat -c%s sample.bin) bytes)"
  else
    echo "flash differs from the image"; code=1
  fi
  exit "$code"
' || upload=$?

echo "== man kavrel"
in_root sh -c 'MANWIDTH=80 man kavrel > /tmp/man.txt' || upload=1
head -n 12 "$root/tmp/man.txt"
in_root man -w kavrel kavrel-sim kavrel-image

echo "== desktop entry and icon"
desktop-file-validate "$root/usr/share/applications/kavrel.desktop" && echo "desktop-file-validate: valid" ||
  upload=1
if grep -q kavrel "$root/usr/share/icons/hicolor/icon-theme.cache"; then
  echo "icon-theme.cache lists kavrel (refreshed by the trigger)"
else
  echo "icon-theme.cache does not list kavrel"
fi
in_root kavrel --list-ports | sed 's/^/  /'

echo "== lintian $(basename "$deb")"
lintian -I --pedantic --show-overrides "$deb" 2>&1 | grep -v 'running with root privileges' || true

exit "$upload"
