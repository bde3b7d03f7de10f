#!/usr/bin/env bash
# The volume shared over SMB, end to end: lyrebox mounts a root folder with
# allow_other, a Samba server of the test's own (its configuration, state and logs in
# a temporary folder, listening on 127.0.0.1 only, on a free port; no system service
# is touched) shares the mount point to guests, and smbclient fetches WAV files, which
# must equal what `flac -d` makes of the FLAC files, and puts one, which must be stored
# as a FLAC file that decodes to it and belongs to the guest account. Needs root;
# exit status 77 means skipped (samba is missing: scripts/deps.sh --share-test).
#
#   share_e2e.sh LYREBOX
set -uo pipefail

lyrebox=$(realpath "$1")
for tool in smbd smbclient flac sox timeout; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is missing (scripts/deps.sh --share-test)"; exit 77; }
done
if [ "$(id -u)" -ne 0 ] || [ ! -c /dev/fuse ]; then echo "SKIPPED: needs root and /dev/fuse"; exit 77; fi

work=$(mktemp -d "${TMPDIR:-/tmp}/lyrebox-share-e2e.XXXXXX")
chmod 0755 "$work"
root="$work/music" mnt="$work/mnt" samba="$work/samba"
mkdir -p "$root/sub" "$mnt" "$work/home" "$work/got" "$samba"/{private,lock,state,cache,pid,ncalrpc}
chmod 0777 "$root"  # guests write as nobody
smbd_pid= lyrebox_pid=
. "$(dirname "$0")/lib.sh"
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
cleanup() {
  # smbd runs in a session of its own: end its process group (the per-client servers).
  [ -n "$smbd_pid" ] && kill -TERM -- "-$smbd_pid" 2>/dev/null
  release "$mnt"
  [ -n "$lyrebox_pid" ] && { timeout 30 tail --pid="$lyrebox_pid" -f /dev/null || kill -KILL "$lyrebox_pid"; }
  [ -n "$smbd_pid" ] && { timeout 10 tail --pid="$smbd_pid" -f /dev/null || kill -KILL -- "-$smbd_pid"; }
  rm -rf "$work"
}
trap cleanup EXIT

# The flac tool's decoding, the chunks kept: for b c.flac the extensible fmt chunk sox
# wrote, which the volume shows as stored.
decode() { flac -s -f -d --keep-foreign-metadata-if-present -o "$2" "$1" 2>/dev/null; }
same_as_decoded() { decode "$1" "$work/decoded.wav" && cmp -s "$work/decoded.wav" "$2"; }

sox -n -r 44100 -c 2 -b 16 "$work/a.wav" synth 3 sine 440 2>/dev/null
flac -s "$work/a.wav" -o "$root/a.flac"
sox -n -r 48000 -c 1 -b 24 "$work/b.wav" synth 2 pinknoise 2>/dev/null
flac -s --keep-foreign-metadata "$work/b.wav" -o "$root/sub/b c.flac" 2>/dev/null
sox -n -r 44100 -c 2 -b 16 "$work/put.wav" synth 4 pinknoise 2>/dev/null

HOME="$work/home" "$lyrebox" -f -o allow_other "$root" "$mnt" > /dev/null 2> "$work/lyrebox.err" &
lyrebox_pid=$!
check "volume mounted with allow_other" wait_for 20 mounted "$mnt"

for port in $(shuf -i 20000-60000 -n 20); do listening "$port" || break; done
cat > "$work/smb.conf" <<CONF
[global]
  server role = standalone server
  smb ports = $port
  interfaces = 127.0.0.1
  bind interfaces only = yes
  disable netbios = yes
  private dir = $samba/private
  lock directory = $samba/lock
  state directory = $samba/state
  cache directory = $samba/cache
  pid directory = $samba/pid
  ncalrpc dir = $samba/ncalrpc
  log file = $samba/log.%m
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  map to guest = Bad User
  guest account = nobody
[music]
  path = $mnt
  read only = no
  map archive = no
  guest ok = yes
CONF
setsid smbd --foreground --no-process-group -s "$work/smb.conf" > "$samba/smbd.out" 2>&1 &
smbd_pid=$!
check "smbd listens on 127.0.0.1:$port" wait_for 30 listening "$port"

smb() { timeout 60 smbclient "//127.0.0.1/music" -p "$port" -N -m SMB3 -c "$1" > "$work/smbclient.out" 2>&1; }
check "smbclient gets a.wav and sub/b c.wav" \
  smb "get a.wav \"$work/got/a.wav\"; cd sub; get \"b c.wav\" \"$work/got/b c.wav\""
check "a.wav is what flac -d makes of a.flac" same_as_decoded "$root/a.flac" "$work/got/a.wav"
check "b c.wav (24 bits, chunks kept) is what flac -d makes of b c.flac" \
  same_as_decoded "$root/sub/b c.flac" "$work/got/b c.wav"

check "smbclient puts new.wav" smb "put \"$work/put.wav\" new.wav"
# smbd closes the file when the client has gone; the encoding follows the close.
check "new.flac stored in the root folder" wait_for 30 test -s "$root/new.flac"
check "new.flac decodes to the put WAV file" wait_for 10 same_as_decoded "$root/new.flac" "$work/put.wav"
check "new.flac belongs to the guest account" test "$(stat -c %U "$root/new.flac")" = nobody
check "no WAV file left in the root folder" test -z "$(find "$root" -iname '*.wav')"
check "lyrebox wrote nothing on stderr" test ! -s "$work/lyrebox.err"

[ $failures -eq 0 ] && echo "all checks passed" && exit 0
echo "--- smbclient"; cat "$work/smbclient.out"
echo "--- smbd"; cat "$samba"/smbd.out "$samba"/log.* 2>/dev/null | tail -40
echo "--- lyrebox"; cat "$work/lyrebox.err"
echo "$failures check(s) failed"
exit 1
