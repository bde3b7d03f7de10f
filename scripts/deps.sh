#!/usr/bin/env bash
# Installs the Debian packages Lyrebox needs to build, test and run.
# Idempotent: prints nothing and touches nothing when everything is present.
#   scripts/deps.sh               build + test packages (and scdoc for the man pages; the
#                                 test oracles flac, sox, ffmpeg, libsndfile's programs)
#   scripts/deps.sh --tray        also the desktop shell's packages
#   scripts/deps.sh --tray-test   also the headless desktop of the tray's test
#   scripts/deps.sh --share-test  also Samba, for the test of the volume shared over SMB
#   scripts/deps.sh --package     also what cpack needs to make the Debian packages
#   scripts/deps.sh --bench       also what the benchmarks compare against
set -euo pipefail

packages=(
  g++ cmake make pkg-config scdoc
  libflac++-dev libfuse3-dev fuse3
  libgtest-dev googletest
  flac sox attr rsync sndfile-programs python3
)
lean=(ffmpeg)  # installed without their recommended packages
for arg in "$@"; do
  case "$arg" in
    --tray) packages+=(libgtk-3-dev libayatana-appindicator3-dev) ;;
    --tray-test) packages+=(libgtk-3-dev libayatana-appindicator3-dev xvfb x11-apps imagemagick
                            xdotool xclip xfce4-panel dbus dbus-bin libglib2.0-bin) ;;
    --share-test) lean+=(samba smbclient) ;;
    --package) packages+=(dpkg-dev file) ;;
    --bench) packages+=(bindfs hyperfine) ;;
    *) echo "deps.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

missing() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || echo "$p"
  done
}
mapfile -t missing_packages < <(missing "${packages[@]}")
mapfile -t missing_lean < <(missing "${lean[@]}")
[ ${#missing_packages[@]} -eq 0 ] && [ ${#missing_lean[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
echo "Installing: ${missing_packages[*]} ${missing_lean[*]}"
$SUDO apt-get update -qq
install() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@" >/dev/null; }
[ ${#missing_packages[@]} -eq 0 ] || install "${missing_packages[@]}"
[ ${#missing_lean[@]} -eq 0 ] || install --no-install-recommends "${missing_lean[@]}"
