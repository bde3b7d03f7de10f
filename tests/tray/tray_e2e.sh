#!/usr/bin/env bash
# End-to-end test of lyrebox-tray in a headless desktop: an Xvfb display, a private
# session bus, xfce4-panel as the tray host (StatusNotifierWatcher) and a fake file
# manager. Most runs fake the volume (--fake-mount); the last one mounts it for real.
#
#   tray_e2e.sh LYREBOX_TRAY FAKE_FILE_MANAGER
#
# Checks: the item registers with the watcher; the icon shows in the panel, turns while
# an encoding runs and stands upright again afterwards; "8 Highest" picked from the menu
# is stored and checked (also after a restart); the file manager is asked to show the
# mount point; "Quit" exits 0 and removes the mount point; a failed mount shows the
# "Mount Failed" alert; cancelling the folder panel exits 0. Where FUSE works (and
# LYREBOX_TRAY_E2E_NO_FUSE is unset), also the real volume: a WAV file copied in is
# encoded while the icon turns, and fusermount3 -u ends the application.
# LYREBOX_TRAY_SHOTS=DIR keeps screenshots (idle icon, open menu, folder panel) there.
# Exit status 77 means skipped (a desktop tool is missing).
set -uo pipefail

if [ "${1:-}" != "--inside" ]; then
  tray=$(realpath "$1")
  fake_fm=$(realpath "$2")
  for tool in Xvfb xfce4-panel dbus-run-session gdbus xwd convert xdotool timeout; do
    if ! command -v "$tool" >/dev/null; then
      echo "SKIPPED: $tool is missing (scripts/deps.sh --tray-test installs it)"
      exit 77
    fi
  done
  work=$(mktemp -d "${TMPDIR:-/tmp}/lyrebox-tray-e2e.XXXXXX")
  xvfb_pid=
  cleanup() {
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
  }
  trap cleanup EXIT

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
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
      <property name="style" type="uint" value="0"/>
    </property>
    <property name="plugin-2" type="string" value="systray"/>
  </property>
</channel>
EOF

  # Xvfb picks a free display and writes its number to the descriptor.
  exec 5> "$work/display"
  Xvfb -displayfd 5 -screen 0 800x600x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  exec 5>&-
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  if [ ! -s "$work/display" ]; then
    echo "FAIL: Xvfb did not start"; cat "$work/xvfb.log"; exit 1
  fi

  env -u SESSION_MANAGER -u DBUS_SESSION_BUS_ADDRESS \
    DISPLAY=":$(head -1 "$work/display")" HOME="$work/home" XDG_CONFIG_HOME="$work/config" \
    XDG_CACHE_HOME="$work/cache" XDG_DATA_DIRS=/usr/share XDG_RUNTIME_DIR="$work" \
    NO_AT_BRIDGE=1 GTK_A11Y=none GSETTINGS_BACKEND=memory \
    timeout -k 5 200 dbus-run-session -- "$0" --inside "$tray" "$fake_fm" "$work"
  status=$?
  [ $status -eq 124 ] && echo "FAIL: timed out"
  exit $status
fi

# ---- Inside the session bus. ----
tray=$2
fake_fm=$3
work=$4
shots=${LYREBOX_TRAY_SHOTS:-}
cd "$work"
failures=0
pids=()

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

bus_pid_of() {  # the process that owns a bus name
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.GetConnectionUnixProcessID "$1" 2>/dev/null |
    sed -n 's/^(uint32 \([0-9]*\),)$/\1/p'
}

cleanup_inside() {
  # Everything started here, and the panel's settings daemon that the bus started.
  local xfconfd
  xfconfd=$(bus_pid_of org.xfce.Xfconf)
  for pid in "${pids[@]}" $xfconfd; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
}
trap cleanup_inside EXIT

# wait_for SECONDS COMMAND...: polls until COMMAND succeeds; false after SECONDS.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}

shot() { xwd -root -silent | convert xwd:- "png:$1"; }
# crop FILE GEOMETRY: a checksum of the pixels in GEOMETRY (WxH+X+Y).
crop() { convert "$1" -crop "$2" +repage rgba:- | md5sum | cut -d' ' -f1; }
keep() { [ -n "$shots" ] && mkdir -p "$shots" && cp "$1" "$shots/$2"; }

name_owned() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null | grep -q true
}
registered_items() {
  gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
    --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher \
    RegisteredStatusNotifierItems 2>/dev/null
}
item_registered() { registered_items | grep -q "lyrebox_tray"; }
item_gone() { ! item_registered; }

# The labels of the checked items of the app's exported menu, one per line.
checked_items() {
  local item service path menu
  item=$(registered_items | grep -o "[^'\"]*lyrebox_tray" | head -1)
  service=${item%%/*}
  path=/${item#*/}
  menu=$(gdbus call --session --dest "$service" --object-path "$path" \
    --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem Menu |
    grep -o "'/[^']*'" | tr -d "'")
  gdbus call --session --dest "$service" --object-path "$menu" \
    --method com.canonical.dbusmenu.GetLayout -- 0 -1 '[]' |
    grep -o "{[^{}]*}" | grep "'toggle-state': <1>" | grep -o "'label': <'[^']*'>" |
    sed "s/'label': <'\(.*\)'>/\1/"
}

start_tray() {  # start_tray ARGS...: runs lyrebox-tray in the background as $app
  LYREBOX_TRAY_TEST_ENCODE=4 "$tray" "$@" > "$work/tray.out" 2> "$work/tray.err" &
  app=$!
  pids+=("$app")
}
exited() { ! kill -0 "$app" 2>/dev/null; }
finish_tray() {  # finish_tray SECONDS: waits for the app to end; its status in $app_status
  if wait_for "$1" exited; then
    wait "$app"
    app_status=$?
  else
    kill "$app"
    wait "$app"
    app_status=timeout
  fi
}
logged() { grep -qF "$1" "$work/tray.err"; }

# --- The desktop. ---
"$fake_fm" "$work/file-manager.log" > "$work/fm.out" 2>&1 &
pids+=($!)
xfce4-panel --disable-wm-check > "$work/panel.log" 2>&1 &
pids+=($!)
wait_for 20 grep -q ready "$work/fm.out" || fail "the fake file manager did not start"
wait_for 30 name_owned org.kde.StatusNotifierWatcher || fail "the panel has no StatusNotifierWatcher"
sleep 1
shot base.png
mount_point="$work/home/Lyrebox"

# --- Start-up: registration, mount, file viewer. ---
start_tray --fake-mount=ok --folder "$work/home/music"
if wait_for 20 item_registered; then pass "item registered with the StatusNotifierWatcher"
else fail "item not registered: $(registered_items)"; fi
if wait_for 20 logged "Got didMount notification."; then pass "mounted"
else fail "no didMount: $(cat tray.err)"; fi
[ -d "$mount_point" ] && pass "mount point made" || fail "no mount point at $mount_point"
if wait_for 20 grep -qxF "ShowItems file://$mount_point" file-manager.log; then
  pass "file manager asked to show the mount point"
else fail "file manager log: $(cat file-manager.log 2>/dev/null)"; fi

# --- The icon: where it is, and its upright picture. ---
# locate_icon: sets area (the icon's box grown by a few pixels), cx, cy (its centre) and
# idle (the checksum of the upright picture).
icon_shown() {
  shot now.png
  geometry=$(convert base.png now.png -compose difference -composite -threshold 0 \
    -format "%@" info: 2>/dev/null)
  case $geometry in 0x0*|"") return 1 ;; esac
  return 0
}
stable() {
  shot a.png; sleep 0.4; shot b.png
  [ "$(crop a.png "$area")" = "$(crop b.png "$area")" ]
}
locate_icon() {
  wait_for 20 icon_shown || return 1
  read -r w h x y <<< "$(echo "$geometry" | sed 's/[x+]/ /g')"
  area="$((w + 8))x$((h + 8))+$((x - 4))+$((y - 4))"
  cx=$((x + w / 2))
  cy=$((y + h / 2))
  xdotool mousemove 400 300
  wait_for 10 stable || return 1
  cp b.png idle.png
  idle=$(crop idle.png "$area")
}
upright() { shot now.png; [ "$(crop now.png "$area")" = "$idle" ]; }
if ! locate_icon; then
  fail "no steady icon in the panel"
  cat tray.err panel.log
  exit 1
fi
pass "icon shown in the panel at $geometry"
keep idle.png tray-idle.png

# --- Turning while an encoding runs (the test hook plays one of 4 s). ---
kill -USR1 "$app"
declare -A seen=()
for _ in $(seq 20); do
  shot now.png
  sum=$(crop now.png "$area")
  [ "$sum" != "$idle" ] && seen[$sum]=1
  sleep 0.1
done
if [ ${#seen[@]} -ge 3 ]; then pass "icon turns while encoding (${#seen[@]} pictures)"
else fail "icon did not turn: ${#seen[@]} pictures differ from the upright one"; fi
if wait_for 10 upright; then pass "icon upright again after the encoding"
else fail "icon did not return upright"; fi

# --- The menu: pick "8 Highest". ---
[ "$(checked_items)" = "5 Recommended" ] || fail "checked at first launch: $(checked_items)"
menu_open() { shot now.png; [ "$(crop now.png 800x300+0+40)" != "$(crop idle.png 800x300+0+40)" ]; }
xdotool mousemove "$cx" "$cy" click 1
wait_for 10 menu_open || fail "no menu after a click on the icon"
xdotool key Down
sleep 0.3
xdotool key Right
sleep 0.5
shot menu.png
keep menu.png tray-menu.png
xdotool key End
sleep 0.3
xdotool key Return
prefs="$work/config/lyrebox/lyrebox.conf"
if wait_for 10 grep -qx "Compression=8" "$prefs"; then pass "8 Highest stored"
else fail "preference file: $(cat "$prefs" 2>/dev/null)"; fi
if [ "$(checked_items)" = "8 Highest" ]; then pass "exactly 8 Highest checked"
else fail "checked after the choice: $(checked_items | tr '\n' ',')"; fi

# --- Quit from the menu. ---
xdotool mousemove "$cx" "$cy" click 1
wait_for 10 menu_open || fail "no menu for Quit"
xdotool key --delay 300 Down Down Return
finish_tray 20
[ "$app_status" = 0 ] && pass "Quit exits 0" || fail "Quit ended with $app_status"
[ ! -e "$mount_point" ] && pass "mount point removed" || fail "mount point left behind"
logged "Got didUnmount notification." && fail "the unmount on Quit was reported as from outside"
wait_for 10 item_gone || fail "item still registered after Quit"

# --- Next launch: the stored level is checked; a signal ends it like Quit. ---
start_tray --fake-mount=ok "$work/home/music"
wait_for 20 logged "Got didMount notification." || fail "second launch did not mount"
wait_for 20 item_registered || fail "second launch not registered"
if [ "$(checked_items)" = "8 Highest" ]; then pass "8 Highest checked on the next launch"
else fail "checked on the next launch: $(checked_items | tr '\n' ',')"; fi
kill -TERM "$app"
finish_tray 20
[ "$app_status" = 0 ] && [ ! -e "$mount_point" ] && pass "SIGTERM unmounts and exits 0" ||
  fail "SIGTERM: status $app_status"

# --- A failed mount: log lines, the alert, status 1. ---
start_tray "--fake-mount=fail:fuse: device not found" "--folder=$work/home/music"
wait_for 20 logged "Got mountFailed notification." || fail "no mountFailed: $(cat tray.err)"
logged "Mount Failed: fuse: device not found" || fail "reason not logged: $(cat tray.err)"
alert=
find_alert() { alert=$(xdotool search --name "^Mount Failed$" 2>/dev/null | head -1); [ -n "$alert" ]; }
if wait_for 20 find_alert; then
  pass "Mount Failed alert shown"
  xdotool windowfocus "$alert"; sleep 0.5; xdotool key Return
else fail "no Mount Failed alert"; fi
finish_tray 20
[ "$app_status" = 1 ] && pass "failed mount exits 1" || fail "failed mount ended with $app_status"
[ ! -e "$mount_point" ] || fail "mount point left behind after the failure"

# --- The folder panel, cancelled. ---
: > file-manager.log
start_tray --fake-mount=ok
panel=
find_panel() { panel=$(xdotool search --name "^Select a Folder$" 2>/dev/null | head -1); [ -n "$panel" ]; }
if wait_for 20 find_panel; then
  pass "folder panel shown"
  sleep 1
  xwd -id "$panel" -silent | convert xwd:- png:chooser.png
  keep chooser.png folder-panel.png
  xdotool windowfocus "$panel"; sleep 0.5; xdotool key Escape
else fail "no folder panel"; fi
finish_tray 20
[ "$app_status" = 0 ] && pass "cancel exits 0" || fail "cancel ended with $app_status"
[ ! -e "$mount_point" ] && [ ! -s file-manager.log ] || fail "something was mounted after cancel"

# --- The real volume, where FUSE works: a WAV file copied in is encoded while the icon
# turns, and unmounting from outside ends the application. ---
if [ -c /dev/fuse ] && command -v fusermount3 >/dev/null && command -v sox >/dev/null &&
   [ -z "${LYREBOX_TRAY_E2E_NO_FUSE:-}" ]; then
  sox -n -r 44100 -c 2 -b 16 song.wav synth 240 sine 440 2>/dev/null
  start_tray "$work/home/music"
  if wait_for 30 logged "Got didMount notification."; then
    pass "real volume mounted"
    locate_icon || fail "no steady icon with the real volume"
    cp song.wav "$mount_point/song.wav" &
    copier=$!
    pids+=("$copier")
    turned=0
    encoded() { [ -s "$work/home/music/song.flac" ] && ! kill -0 "$copier" 2>/dev/null; }
    deadline=$((SECONDS + 90))
    while [ $SECONDS -lt $deadline ]; do
      shot now.png
      [ "$(crop now.png "$area")" != "$idle" ] && turned=1
      if encoded && [ $turned = 1 ] && upright; then break; fi
      sleep 0.05
    done
    encoded && pass "WAV file encoded to FLAC in the root folder" || fail "no song.flac"
    [ $turned = 1 ] && pass "icon turned during the real encoding" || fail "icon did not turn"
    upright && pass "icon upright after the real encoding" || fail "icon not upright"
    fusermount3 -u "$mount_point" || fail "fusermount3 -u failed"
    finish_tray 30
    logged "Got didUnmount notification." && pass "unmount from outside noticed" ||
      fail "no didUnmount: $(cat tray.err)"
    [ "$app_status" = 0 ] && pass "unmount from outside exits 0" ||
      fail "after the outside unmount: status $app_status"
    [ ! -e "$mount_point" ] || fail "mount point left behind after the outside unmount"
  else
    fail "real mount: $(cat tray.err)"
    kill "$app"
    finish_tray 20
  fi
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
