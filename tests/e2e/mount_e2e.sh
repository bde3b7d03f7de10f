#!/usr/bin/env bash
# The volume mounted as mount(8) and /etc/fstab do it, end to end: the command started
# directly in the background, then `mount -t fuse.lyrebox` and an fstab line (read
# from a file of the test's own with mount -T), each with mount(8)'s options mixed in.
# A FLAC file is read back as its `flac -d` WAV, and a WAV file copied in is stored as
# a FLAC file that decodes to it. Needs root; exit status 77 means skipped.
#
#   mount_e2e.sh LYREBOX
# mount.fuse3 finds the program of the type fuse.lyrebox on mount(8)'s fixed PATH; a
# LYREBOX found elsewhere (a build folder) is named in the source as "LYREBOX#ROOT" of
# the type fuse instead, which mount.fuse3 runs the same way.
set -uo pipefail

lyrebox=$(realpath "$1")
for tool in mount umount flac sox timeout; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is missing"; exit 77; }
done
if [ "$(id -u)" -ne 0 ] || [ ! -c /dev/fuse ]; then echo "SKIPPED: needs root and /dev/fuse"; exit 77; fi

work=$(mktemp -d "${TMPDIR:-/tmp}/lyrebox-mount-e2e.XXXXXX")
root="$work/music" mnt="$work/mnt"
mkdir "$root" "$mnt" "$work/home"
export HOME="$work/home"
. "$(dirname "$0")/lib.sh"
unmounted() { ! mounted "$mnt" && ! pgrep -f -- "$root" >/dev/null; }
cleanup() { release "$mnt"; rm -rf "$work"; }
trap cleanup EXIT

sox -n -r 44100 -c 2 -b 16 "$work/a.wav" synth 2 sine 440 2>/dev/null
flac -s -f "$work/a.wav" -o "$root/a.flac"
# A 24-bit WAV file in the form flac -d writes, so that decoding it again compares exactly.
sox -n -r 48000 -c 1 -b 24 "$work/noise.wav" synth 1 pinknoise 2>/dev/null
flac -s -f "$work/noise.wav" -o "$work/noise.flac" 2>/dev/null
flac -s -d -f "$work/noise.flac" -o "$work/in.wav"

decodes_to_input() { flac -s -d -c "$1" 2>/dev/null | cmp -s - "$work/in.wav"; }
# round_trip NAME: a.wav reads as flac decodes a.flac; a WAV copied in as NAME.wav is
# stored as NAME.flac, which decodes to the same bytes.
round_trip() {
  check "$1: a.wav reads as flac -d of a.flac" cmp -s "$mnt/a.wav" <(flac -s -d -c "$root/a.flac")
  check "$1: WAV file copied in" cp "$work/in.wav" "$mnt/$1.wav"
  check "$1: stored as FLAC" wait_for 20 test -s "$root/$1.flac"
  check "$1: the FLAC file decodes to the copied WAV" wait_for 10 decodes_to_input "$root/$1.flac"
}
stop() {  # stop WHAT: umount, then the daemon ends
  check "$1: umount" timeout 60 umount "$mnt"
  check "$1: daemon ended" wait_for 30 unmounted
}

# As mount.fuse3 runs it: positional arguments first, then -o with mount(8)'s options.
check "lyrebox ROOT MNT -o ... returns once mounted" \
  timeout 60 "$lyrebox" "$root" "$mnt" -o rw,nofail,_netdev,noauto,x-systemd.automount,compression=0
check "mounted by the command" mounted "$mnt"
round_trip direct
stop direct

if [ "$(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin command -v lyrebox)" = "$lyrebox" ]; then
  type=fuse.lyrebox source=$root
else
  type=fuse source="$lyrebox#$root"
fi
echo "mounting as type $type"
check "mount -t $type" timeout 60 mount -t "$type" "$source" "$mnt" -o allow_other,nofail,_netdev,compression=8
check "mounted by mount(8)" mounted "$mnt"
round_trip mount
stop "mount -t"

printf '%s %s %s %s 0 0\n' "${source// /\\040}" "${mnt// /\\040}" "$type" \
  "noauto,nofail,_netdev,x-systemd.automount,x-systemd.idle-timeout=60,compression=5" > "$work/fstab"
check "mount -T FSTAB MNT (an fstab line)" timeout 60 mount -T "$work/fstab" "$mnt"
check "mounted from the fstab line" mounted "$mnt"
round_trip fstab
stop fstab

[ $failures -eq 0 ] && echo "all checks passed" || { echo "$failures check(s) failed"; exit 1; }
