# Helpers of the end-to-end shell tests (sourced): checks that count failures, bounded
# waits, and mounts found and released without touching a stuck one.

failures=0
# check WHAT COMMAND...: runs COMMAND and reports WHAT as passed or failed.
check() {
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
# wait_for SECONDS COMMAND...: polls until COMMAND succeeds; false after SECONDS.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}
# connection MOUNTPOINT: the FUSE connection's number, from mountinfo (a stat of a
# stuck mount would hang); empty when nothing is mounted there.
connection() { awk -v m="$1" '$5 == m { split($3, d, ":"); print d[2] }' /proc/self/mountinfo; }
mounted() { [ -n "$(connection "$1")" ]; }
# release MOUNTPOINT: unmounts, aborting the connection when that does not work.
release() {
  local id
  mounted "$1" || return 0
  timeout 20 fusermount3 -u "$1" 2>/dev/null && return 0
  id=$(connection "$1")
  [ -n "$id" ] && echo 1 > "/sys/fs/fuse/connections/$id/abort"
  fusermount3 -u -z "$1" 2>/dev/null
}
