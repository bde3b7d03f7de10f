#!/usr/bin/env bash
# End-to-end test of lyrebox-tray in a headless desktop: an Xvfb display, a private
# session bus, xfce4-panel as the tray host (StatusNotifierWatcher) and a fake file
# manager and notification server. Most runs fake the volume (--fake-mount); where FUSE
# works (and LYREBOX_TRAY_E2E_NO_FUSE is unset) the last one mounts it for real. Each
# check prints "ok:" or "FAIL:"; exit status 77 means skipped (a desktop tool is missing).
#
#   tray_e2e.sh LYREBOX_TRAY FAKE_DESKTOP
set -uo pipefail

if [ "${1:-}" != "--inside" ]; then
  for tool in Xvfb xfce4-panel dbus-run-session gdbus xwd convert xdotool timeout; do
    command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is missing (scripts/deps.sh --tray-test)"; exit 77; }
  done
  work=$(mktemp -d "${TMPDIR:-/tmp}/lyrebox-tray-e2e.XXXXXX")
  # The panel reads its configuration (through xfconfd, started by the bus) from here.
  mkdir -p "$work/config/xfce4/xfconf/xfce-perchannel-xml" "$work/home/music" "$work/cache"
  cat > "$work/config/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property>
    </property>
  </property>
  <property name="plugins" type="empty"><property name="plugin-1" type="string" value="systray"/></property>
</channel>
EOF
  # Xvfb picks a free display and writes its number to the descriptor.
  exec 5> "$work/display"
  Xvfb -displayfd 5 -screen 0 800x600x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  exec 5>&-
  trap 'kill $xvfb_pid; wait $xvfb_pid; rm -rf "$work"' EXIT
  . "$(dirname "$0")/../e2e/lib.sh"  # wait_for
  wait_for 10 test -s "$work/display" || { echo "FAIL: Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
  env -u SESSION_MANAGER -u DBUS_SESSION_BUS_ADDRESS \
    DISPLAY=":$(head -1 "$work/display")" HOME="$work/home" XDG_CONFIG_HOME="$work/config" \
    XDG_CACHE_HOME="$work/cache" XDG_DATA_DIRS=/usr/share XDG_RUNTIME_DIR="$work" \
    NO_AT_BRIDGE=1 GTK_A11Y=none GSETTINGS_BACKEND=memory \
    timeout -k 5 200 dbus-run-session -- "$0" --inside "$(realpath "$1")" "$(realpath "$2")" "$work"
  status=$?
  [ $status -eq 124 ] && echo "FAIL: timed out"
  exit $status
fi

# ---- Inside the session bus. ----
tray=$2
work=$4
. "$(dirname "$0")/../e2e/lib.sh"  # check, wait_for
cd "$work"
pids=()
spawn() { "$@" & pids+=($!); }  # spawn COMMAND...: in the background, ended at exit
bus() { gdbus call --session --dest "$1" --object-path "$2" --method "${@:3}" 2>/dev/null; }
dbus() { bus org.freedesktop.DBus /org/freedesktop/DBus "org.freedesktop.DBus.$1" "$2"; }
# Everything started here, and the panel's settings daemon that the bus started.
xfconfd() { dbus GetConnectionUnixProcessID org.xfce.Xfconf | sed -n 's/^(uint32 \([0-9]*\),)$/\1/p'; }
trap 'kill "${pids[@]}" $(xfconfd) 2>/dev/null; wait "${pids[@]}" 2>/dev/null' EXIT

# shot FILE: a screenshot. xwd fails now and then while windows change under it: retried.
shot() {
  for _ in 1 2 3 4 5; do xwd -root -silent 2>/dev/null | convert xwd:- "png:$1" 2>/dev/null && return 0; sleep 0.2; done
  return 1
}
# crop FILE GEOMETRY: a checksum of the pixels in GEOMETRY (WxH+X+Y).
crop() { convert "$1" -crop "$2" +repage rgba:- | md5sum | cut -d' ' -f1; }
registered_items() {
  bus org.kde.StatusNotifierWatcher /StatusNotifierWatcher org.freedesktop.DBus.Properties.Get \
    org.kde.StatusNotifierWatcher RegisteredStatusNotifierItems
}
item_registered() { registered_items | grep -q "lyrebox_tray"; }
# The app's exported menu (dbusmenu): its layout, one item's properties a line.
menu_call() {
  local item menu
  item=$(registered_items | grep -o "[^'\"]*lyrebox_tray" | head -1)
  menu=$(bus "${item%%/*}" "/${item#*/}" org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem Menu |
    grep -o "'/[^']*'" | tr -d "'")
  bus "${item%%/*}" "$menu" "com.canonical.dbusmenu.$@"
}
menu_items() { menu_call GetLayout -- 0 -1 '[]' | grep -o "([0-9]*, {[^{}]*}"; }
label_of() { grep -o "'label': <'[^']*'>" | sed "s/'label': <'\(.*\)'>/\1/"; }
# The labels of the checked compression levels, one per line.
checked() { [ "$(menu_items | grep "'toggle-state': <1>" | label_of | grep -vx "Start at Login")" = "$1" ]; }
start_at_login_checked() { menu_items | grep "'label': <'Start at Login'>" | grep -q "'toggle-state': <1>"; }
# click LABEL: the tray host's click on a menu item.
click() {
  local id=$(menu_items | grep "'label': <'$1'>" | head -1 | sed 's/^(\([0-9]*\),.*/\1/')
  [ -n "$id" ] && menu_call Event -- "$id" clicked '<0>' 0 >/dev/null
}

start_tray() {  # start_tray ARGS...: runs lyrebox-tray in the background as $app
  LYREBOX_TRAY_TEST_ENCODE=4 spawn "$tray" "$@" > tray.out 2> tray.err
  app=${pids[-1]}
}
finish_tray() {  # finish_tray SECONDS STATUS WHAT: waits for the app to end; checks its exit status
  wait_for "$1" eval '! kill -0 "$app" 2>/dev/null' || kill "$app"
  wait "$app"
  check "$3 exits $2" test $? = "$2"
}
logged() { grep -qF "$1" tray.err; }

# --- The desktop. ---
spawn "$3" desktop.log > desktop.out 2>&1
spawn xfce4-panel --disable-wm-check > panel.log 2>&1
check "fake file manager and notification server started" wait_for 20 grep -q ready desktop.out
check "the panel owns the StatusNotifierWatcher" \
  wait_for 30 eval 'dbus NameHasOwner org.kde.StatusNotifierWatcher | grep -q true'
sleep 1
shot base.png
mount_point="$work/home/Lyrebox"

# --- Start-up: registration, mount, file viewer. ---
start_tray --fake-mount=ok --folder "$work/home/music"
check "item registered with the StatusNotifierWatcher" wait_for 20 item_registered
check "mounted" wait_for 20 logged "Got didMount notification."
check "mount point made" test -d "$mount_point"
check "file manager asked to show the mount point" wait_for 20 grep -qxF "ShowItems file://$mount_point" desktop.log

# --- The icon: where it is, and its upright picture. ---
icon_shown() {
  shot now.png
  geometry=$(convert base.png now.png -compose difference -composite -threshold 0 -format "%@" info: 2>/dev/null)
  [[ $geometry != 0x0* && -n $geometry ]]
}
stable() { shot a.png; sleep 0.4; shot b.png; [ "$(crop a.png "$area")" = "$(crop b.png "$area")" ]; }
# locate_icon: sets area (the icon's box grown by a few pixels), cx, cy (its centre) and
# idle (the checksum of the upright picture).
locate_icon() {
  wait_for 20 icon_shown || return 1
  read -r w h x y <<< "${geometry//[x+]/ }"
  area="$((w + 8))x$((h + 8))+$((x - 4))+$((y - 4))"
  cx=$((x + w / 2))
  cy=$((y + h / 2))
  xdotool mousemove 400 300
  wait_for 10 stable || return 1
  cp b.png idle.png
  idle=$(crop idle.png "$area")
}
upright() { shot now.png; [ "$(crop now.png "$area")" = "$idle" ]; }
# Upright and staying so: a turning icon passes through the upright picture once a turn,
# and the run-on after an encoding lasts 0.6 s.
steady_upright() { upright && sleep 1 && upright; }
locate_icon || { echo "FAIL: no steady icon in the panel"; cat tray.err panel.log; exit 1; }
echo "ok: icon shown in the panel at $geometry"

# --- Turning while an encoding runs (the test hook plays one of 4 s). ---
kill -USR1 "$app"
declare -A seen=()
for _ in $(seq 20); do shot now.png && seen[$(crop now.png "$area")]=1; sleep 0.1; done
unset "seen[$idle]"
check "icon turns while encoding (${#seen[@]} pictures)" test ${#seen[@]} -ge 3
check "icon upright again after the encoding" wait_for 10 steady_upright

# --- The menu: pick "8 Highest", then Quit. ---
check "5 Recommended checked at first launch" checked "5 Recommended"
menu_open() { shot now.png; [ "$(crop now.png 800x300+0+40)" != "$(crop idle.png 800x300+0+40)" ]; }
xdotool mousemove "$cx" "$cy" click 1
check "menu opens on a click on the icon" wait_for 10 menu_open
xdotool key --delay 400 Down Right End Return
check "8 Highest stored" wait_for 10 grep -qx "Compression=8" "$work/config/lyrebox/lyrebox.conf"
check "exactly 8 Highest checked" checked "8 Highest"
autostart="$work/config/autostart/lyrebox-tray.desktop"
check "Start at Login unchecked at first" eval '! start_at_login_checked'
click "Start at Login"
check "Start at Login writes the autostart entry" wait_for 10 test -s "$autostart"
check "Start at Login checked" wait_for 10 start_at_login_checked
xdotool mousemove "$cx" "$cy" click 1
check "menu opens for Quit" wait_for 10 menu_open
xdotool key --delay 300 End Return
finish_tray 20 0 "Quit"
check "mount point removed" test ! -e "$mount_point"
check "the unmount on Quit is not reported as from outside" eval '! logged "Got didUnmount notification."'
check "item gone after Quit" wait_for 10 eval '! item_registered'

# --- Next launch, as the desktop does it at login from the autostart entry: the folder
# of last time is mounted without asking; the stored level is checked; Start at Login
# switched off removes the entry; a signal ends it like Quit. ---
exec_line=$(sed -n 's/^Exec=//p' "$autostart")
eval "login=($exec_line)"  # an Exec line quotes like the shell's double quotes
check "the autostart entry runs lyrebox-tray --last-folder" test "${login[*]}" = "$(realpath "$tray") --last-folder"
start_tray "${login[@]:1}" --fake-mount=ok
check "login launch mounted the folder of last time" wait_for 20 logged "Mounting $work/home/music at $mount_point"
check "login launch did not ask for a folder" eval '! xdotool search --name "^Select a Folder$" >/dev/null 2>&1'
check "8 Highest checked on the next launch" wait_for 20 checked "8 Highest"
check "Start at Login still checked" start_at_login_checked
click "Start at Login"
check "Start at Login switched off removes the entry" wait_for 10 test ! -e "$autostart"
kill -TERM "$app"
finish_tray 20 0 "SIGTERM"
check "SIGTERM removes the mount point" test ! -e "$mount_point"

# --- A failed mount: log lines, the alert, status 1. ---
start_tray "--fake-mount=fail:fuse: device not found" "--folder=$work/home/music"
check "mountFailed logged" wait_for 20 logged "Got mountFailed notification."
check "reason logged" logged "Mount Failed: fuse: device not found"
find_window() { window=$(xdotool search --name "$1" 2>/dev/null | head -1); [ -n "$window" ]; }
check "Mount Failed alert shown" wait_for 20 find_window "^Mount Failed$"
xdotool windowfocus "$window"; sleep 0.5; xdotool key Return
finish_tray 20 1 "failed mount"
check "no mount point after the failure" test ! -e "$mount_point"

# --- With no folder of last time, --last-folder asks; cancelled. ---
sed -i '/^Folder=/d' "$work/config/lyrebox/lyrebox.conf"
: > desktop.log
start_tray --fake-mount=ok --last-folder
check "folder panel shown" wait_for 20 find_window "^Select a Folder$"
sleep 1
xdotool windowfocus "$window"; sleep 0.5; xdotool key Escape
finish_tray 20 0 "cancel"
check "nothing mounted after cancel" eval '[ ! -e "$mount_point" ] && [ ! -s desktop.log ]'

# --- The real volume, where FUSE works: a WAV file copied in is encoded while the icon
# turns and the menu shows its progress; data kept as WAV is told once a minute by
# notification; unmounting from outside is told and ends the application. ---
if [ -c /dev/fuse ] && command -v fusermount3 >/dev/null && command -v sox >/dev/null &&
   [ -z "${LYREBOX_TRAY_E2E_NO_FUSE:-}" ]; then
  sox -n -r 44100 -c 2 -b 16 song.wav synth 240 sine 440 2>/dev/null
  start_tray "$work/home/music"
  check "real volume mounted" wait_for 30 logged "Got didMount notification."
  check "steady icon with the real volume" locate_icon
  cp song.wav "$mount_point/song.wav" &
  copier=$!
  pids+=("$copier")
  encoded() { [ -s "$work/home/music/song.flac" ] && ! kill -0 "$copier" 2>/dev/null; }
  turned=0
  : > progress.txt
  for ((deadline = SECONDS + 90; SECONDS < deadline; )); do
    shot now.png
    [ "$(crop now.png "$area")" != "$idle" ] && turned=1
    menu_items | grep "Encoding song.wav" >> progress.txt
    encoded && [ $turned = 1 ] && upright && break
    sleep 0.05
  done
  check "WAV file encoded to FLAC in the root folder" encoded
  check "icon turned during the real encoding" test $turned = 1
  check "icon upright after the real encoding" wait_for 5 steady_upright
  check "menu showed 'Encoding song.wav — N%' as a disabled item" \
    grep -q "'enabled': <false>.*'label': <'Encoding song.wav — [0-9]*%'>\|'label': <'Encoding song.wav — [0-9]*%'>.*'enabled': <false>" progress.txt
  check "no encoding line once the encoding has ended" eval '! menu_items | grep -q Encoding'
  # Not audio: kept as WAV. Removed and written again within the minute: no second
  # notification.
  printf 'not audio' > "$mount_point/junk.wav"
  check "kept as WAV" wait_for 20 logged "Kept as WAV: junk.wav"
  rm "$mount_point/junk.wav"
  printf 'not audio' > "$mount_point/junk.wav"
  check "kept as WAV again" wait_for 20 eval '[ "$(grep -c "Kept as WAV: junk.wav" tray.err)" = 2 ]'
  check "one notification naming the file and the reason" \
    eval '[ "$(grep -c "^Notify junk.wav was kept as WAV | .*junk.wav.*not a WAV file" desktop.log)" = 1 ]'
  check "fusermount3 -u" fusermount3 -u "$mount_point"
  finish_tray 30 0 "unmount from outside"
  check "unmount from outside noticed" logged "Got didUnmount notification."
  check "unmount from outside told by notification" \
    grep -qF "Notify Lyrebox volume unmounted | $mount_point was unmounted from outside" desktop.log
  check "no mount point after the outside unmount" test ! -e "$mount_point"
else
  echo "skipped: the real volume (no usable FUSE, or LYREBOX_TRAY_E2E_NO_FUSE is set)"
fi

if [ $failures -ne 0 ]; then
  echo "--- lyrebox-tray stderr (last run)"; cat tray.err
  echo "--- panel"; cat panel.log
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
