#!/usr/bin/env bash
# Measures a Lyrebox volume side by side with flac, bindfs and (when installed) ffmpegfs
# and prints the results as ratios against their targets. Not a test: numbers depend on
# the machine and its load.
#
#   bench/run.sh [--quick]
#     --quick          a small corpus (200 files of 5 s, long files of 60 s, a library of
#                      2,000 files, a 10-minute file for the cache), 3 runs each
#   BUILD_DIR=build    where lyrebox was built (build/src/cli/lyrebox)
#   BENCH_DIR=DIR      corpus and mount points (default: a new folder under /tmp); a corpus
#                      already there is reused
#
# Needs scripts/deps.sh --bench (bindfs, hyperfine). Page caches are dropped before cold
# runs when permitted (root).
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    *) echo "usage: bench/run.sh [--quick]" >&2; exit 2 ;;
  esac
done
if [ $quick = 1 ]; then short_s=5 long_s=60 runs=3 folders=50 huge_x=1; else short_s=30 long_s=600 runs=5 folders=500 huge_x=13; fi
count=200
per_folder=40     # the library: $folders folders of $per_folder files
readers=8         # files read at once

lyrebox=$(realpath "${BUILD_DIR:-build}/src/cli/lyrebox")
for tool in "$lyrebox" bindfs hyperfine flac sox fusermount3; do
  command -v "$tool" >/dev/null || { echo "bench: missing $tool (build first; scripts/deps.sh --bench)" >&2; exit 1; }
done

work=${BENCH_DIR:-$(mktemp -d /tmp/lyrebox-bench.XXXXXX)}
mkdir -p "$work"
work=$(realpath "$work")
root=$work/root-$short_s-$long_s    # FLAC corpus: many/ and the long files
wavs=$work/wav-$long_s              # the long files decoded, for bindfs
lib=$work/library-$folders          # FLAC library: $folders folders of short files
libwav=$work/library-wav-$folders   # the same decoded, for bindfs
huge=$work/huge-$huge_x             # one long 96 kHz/24-bit file (over 4 GiB of WAV when full)
vol=$work/vol bindwav=$work/bind-wav bindroot=$work/bind-root ffm=$work/ffmpegfs
libvol=$work/lib-vol bindlib=$work/bind-lib hugevol=$work/huge-vol
results=$work/results
mkdir -p "$vol" "$bindwav" "$bindroot" "$ffm" "$libvol" "$bindlib" "$hugevol" "$results"

# ---------------------------------------------------------------------------------------
# Corpus: pink noise shaped by a slow tremolo compresses about as well as music.

make_audio() {  # rate bits seconds wav
  sox -R -n -r "$1" -b "$2" -c 2 "$4" synth "$3" pinknoise tremolo 0.3 40 vol 0.6
}
if [ ! -e "$root/.complete" ]; then
  echo "bench: making the corpus in $root"
  rm -rf "$root" "$wavs"
  mkdir -p "$root/many" "$wavs"
  make_audio 44100 16 "$short_s" "$work/short.wav"
  flac -s -f -5 -o "$root/many/t001.flac" "$work/short.wav"
  for i in $(seq 2 $count); do cp "$root/many/t001.flac" "$root/many/t$(printf %03d "$i").flac"; done
  make_audio 44100 16 "$long_s" "$wavs/long16.wav"
  make_audio 96000 24 "$long_s" "$wavs/long24.wav"
  for f in long16 long24; do flac -s -f -5 -o "$root/$f.flac" "$wavs/$f.wav"; done
  rm -f "$work/short.wav"
  touch "$root/.complete"
fi
if [ ! -e "$lib/.complete" ]; then
  echo "bench: making the library in $lib"
  rm -rf "$lib" "$libwav"
  mkdir -p "$lib" "$libwav"
  make_audio 44100 16 0.2 "$work/tiny.wav"
  flac -s -f -5 -o "$work/tiny.flac" "$work/tiny.wav"
  for d in $(seq -w 1 "$folders"); do
    mkdir -p "$lib/d$d" "$libwav/d$d"
    for f in $(seq -w 1 "$per_folder"); do
      cp "$work/tiny.flac" "$lib/d$d/s$f.flac"
      cp "$work/tiny.wav" "$libwav/d$d/s$f.wav"
    done
  done
  rm -f "$work/tiny.wav" "$work/tiny.flac"
  touch "$lib/.complete"
fi
if [ ! -e "$huge/.complete" ]; then
  echo "bench: making the long file in $huge"
  rm -rf "$huge"
  mkdir -p "$huge"
  # $huge_x times the long 24-bit file, as raw audio, so that no WAV header must hold 4 GiB.
  inputs=(); for _ in $(seq "$huge_x"); do inputs+=("$wavs/long24.wav"); done
  sox "${inputs[@]}" -t raw - | flac -s -f -5 --force-raw-format --endian=little --sign=signed --channels=2 \
    --bps=24 --sample-rate=96000 -o "$huge/huge.flac" -
  touch "$huge/.complete"
fi
for i in $(seq "$readers"); do
  [ -e "$root/reader$i.flac" ] || cp "$root/long16.flac" "$root/reader$i.flac"
done

# ---------------------------------------------------------------------------------------
# Mounts, always undone.

pids=()
cleanup() {
  for m in "$vol" "$bindwav" "$bindroot" "$ffm" "$libvol" "$bindlib" "$hugevol"; do
    mountpoint -q "$m" && { fusermount3 -u "$m" 2>/dev/null || fusermount3 -u -z "$m"; }
  done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -f "$root"/written*.flac
}
trap cleanup EXIT

wait_mount() {
  for _ in $(seq 200); do mountpoint -q "$1" && return 0; sleep 0.05; done
  echo "bench: $1 did not mount" >&2; exit 1
}

"$lyrebox" -f -c 5 --log "$work/log.txt" "$root" "$vol" >/dev/null & pids+=($!)
volpid=$!
bindfs "$wavs" "$bindwav"
bindfs "$root" "$bindroot"
have_ffmpegfs=0
if command -v ffmpegfs >/dev/null; then
  ffmpegfs --desttype=wav --cachepath="$work/ffmpegfs-cache" "$root" "$ffm" >/dev/null 2>&1 && have_ffmpegfs=1
fi
wait_mount "$vol"; wait_mount "$bindwav"; wait_mount "$bindroot"
[ $have_ffmpegfs = 1 ] && wait_mount "$ffm"

drop="sync"
if echo 3 > /proc/sys/vm/drop_caches 2>/dev/null; then
  drop="sync; echo 3 > /proc/sys/vm/drop_caches"
else
  echo "bench: cannot drop page caches (not root): cold runs are warm for the kernel" >&2
fi

# Median seconds of each command, in order, one per line.
measure() {  # name hyperfine-args... -- commands...
  local name=$1; shift
  local args=()
  while [ "$1" != -- ]; do args+=("$1"); shift; done
  shift
  # hyperfine runs each command in a shell and subtracts the shell's own start-up time.
  hyperfine --style none --runs "$runs" "${args[@]}" --export-csv "$results/$name.csv" "$@" \
    >/dev/null 2>>"$results/hyperfine-messages.txt"
  awk -F, 'NR > 1 { print $4 }' "$results/$name.csv"
}

# Mean CPU seconds (user + system) of the n-th command of a measurement, from its CSV.
cpu_of() {  # name n
  awk -F, -v n="$2" 'NR == n + 1 { printf "%.3f", $5 + $6 }' "$results/$1.csv"
}
# CPU seconds the lyrebox daemon has used so far.
daemon_cpu() { awk -v t="$(getconf CLK_TCK)" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$1/stat"; }
rows=()
row() {  # measure lyrebox reference ratio target [cpu]
  rows+=("$(printf '| %-48s | %10s | %10s | %6s | %-8s | %-24s |' "$1" "$2" "$3" "$4" "$5" "${6:-}")")
}
ms() { awk -v s="$1" 'BEGIN { printf "%.1f ms", s * 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
sum() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a + b }'; }

for f in long16 long24; do
  # (a) cold sequential read against flac decoding to /dev/null: speed ratio.
  before=$(daemon_cpu "$volpid")
  mapfile -t t < <(measure "a-$f" --prepare "$drop" -- \
    "flac -s -d -c $root/$f.flac > /dev/null" "cat $vol/$f.wav > /dev/null")
  cpu=$(awk -v a="$(daemon_cpu "$volpid")" -v b="$before" -v r="$runs" -v c="$(cpu_of "a-$f" 2)" \
    'BEGIN { printf "%.3f", (a - b) / r + c }')
  row "(a) cold read $f vs flac -d -c" "$(ms "${t[1]}")" "$(ms "${t[0]}")" "$(ratio "${t[0]}" "${t[1]}")" ">= 1.6" \
    "cpu $cpu s vs $(cpu_of "a-$f" 1) s"

  # (b) warm re-read against the decoded WAV through bindfs: speed ratio.
  mapfile -t t < <(measure "b-$f" --warmup 1 -- \
    "cat $bindwav/$f.wav > /dev/null" "cat $vol/$f.wav > /dev/null")
  row "(b) warm re-read $f vs bindfs" "$(ms "${t[1]}")" "$(ms "${t[0]}")" "$(ratio "${t[0]}" "${t[1]}")" ">= 0.8"
done

# (e) cp of a long WAV into the volume until close returns, against flac -5 alone.
for f in long16 long24; do
  w=written${f#long}
  before=$(daemon_cpu "$volpid")
  mapfile -t t < <(measure "e-$f" --prepare "rm -f $vol/$w.wav $work/ref.flac; sync" -- \
    "flac -s -f -5 -o $work/ref.flac $wavs/$f.wav" "cp $wavs/$f.wav $vol/$w.wav")
  cpu=$(awk -v a="$(daemon_cpu "$volpid")" -v b="$before" -v r="$runs" -v c="$(cpu_of "e-$f" 2)" \
    'BEGIN { printf "%.3f", (a - b) / r + c }')
  row "(e) cp $f.wav in vs flac -5" "$(ms "${t[1]}")" "$(ms "${t[0]}")" "$(ratio "${t[1]}" "${t[0]}")" "<= 0.7" \
    "cpu $cpu s vs $(cpu_of "e-$f" 1) s"
  # The last run's preparation removed flac's own.
  flac -s -f -5 -o "$work/ref.flac" "$wavs/$f.wav"
  row "(f) size of the FLAC written, $f, vs flac -5" "$(stat -c %s "$root/$w.flac")" "$(stat -c %s "$work/ref.flac")" \
    "$(ratio "$(stat -c %s "$root/$w.flac")" "$(stat -c %s "$work/ref.flac")")" "<= 1.005"
done

# (c) the first 64 KiB at offset 0 and mid-file of a cold long file, against bindfs;
# also for FLAC files that Lyrebox wrote.
for f in long16 long24; do
  size=$(stat -c %s "$wavs/$f.wav")
  mid=$((size / 2 / 65536))
  for src in "$f" "written${f#long}"; do
    for skip in 0 "$mid"; do
      where=$([ "$skip" = 0 ] && echo "start" || echo "middle")
      mapfile -t t < <(measure "c-$src-$skip" --prepare "$drop" -- \
        "dd if=$bindwav/$f.wav of=/dev/null bs=64k count=1 skip=$skip status=none" \
        "dd if=$vol/$src.wav of=/dev/null bs=64k count=1 skip=$skip status=none")
      row "(c) first 64 KiB, $where, $src vs bindfs" "$(ms "${t[1]}")" "$(ms "${t[0]}")" \
        "$(ratio "${t[1]}" "${t[0]}")" "<= 2"
    done
  done
done

# (d) ls -l of a folder of $count files, per file, against bindfs.
mapfile -t t < <(measure d --warmup 1 -- "ls -l $bindroot/many" "ls -l $vol/many")
per() { awk -v s="$1" -v n="$count" 'BEGIN { printf "%.3f ms", s * 1000 / n }'; }
row "(d) ls -l of $count files, per file, vs bindfs" "$(per "${t[1]}")" "$(per "${t[0]}")" \
  "$(ratio "${t[1]}" "${t[0]}")" "<= 1.5"

# (h) find over a library of $folders folders, cold after a fresh mount and warm, against
# bindfs over the decoded WAV files.
"$lyrebox" -f --log "$work/log.txt" "$lib" "$libvol" >/dev/null & libpid=$!
pids+=($libpid)
bindfs "$libwav" "$bindlib"
wait_mount "$libvol"; wait_mount "$bindlib"
files=$((folders * per_folder))
# A fresh lyrebox mount for every cold run; bindfs is mounted afresh as well.
fresh_lib="fusermount3 -u $libvol; fusermount3 -u $bindlib; \
$lyrebox -f --log $work/log.txt $lib $libvol >/dev/null 2>&1 & bindfs $libwav $bindlib; \
until mountpoint -q $libvol && mountpoint -q $bindlib; do sleep 0.05; done; $drop"
mapfile -t t < <(measure h-cold --prepare "$fresh_lib" -- \
  "find $bindlib -name '*.wav' -size +0 | wc -l > /dev/null" "find $libvol -name '*.wav' -size +0 | wc -l > /dev/null")
row "(h) find of $files files, cold mount, vs bindfs" "$(ms "${t[1]}")" "$(ms "${t[0]}")" "$(ratio "${t[1]}" "${t[0]}")" "<= 3"
mapfile -t t < <(measure h-warm --warmup 1 -- \
  "find $bindlib -name '*.wav' -size +0 | wc -l > /dev/null" "find $libvol -name '*.wav' -size +0 | wc -l > /dev/null")
row "(h) find of $files files, warm, vs bindfs" "$(ms "${t[1]}")" "$(ms "${t[0]}")" "$(ratio "${t[1]}" "${t[0]}")" "<= 1.5"
fusermount3 -u "$libvol"; fusermount3 -u "$bindlib"

# (i) $readers processes reading $readers different files at once, cold, against as many
# flac -d at once (both use every core).
readers_vol="for i in \$(seq $readers); do cat $vol/reader\$i.wav > /dev/null & done; wait"
readers_flac="for i in \$(seq $readers); do flac -s -d -c $root/reader\$i.flac > /dev/null & done; wait"
before=$(daemon_cpu "$volpid")
mapfile -t t < <(measure i --prepare "$drop" -- "$readers_flac" "$readers_vol")
cpu=$(awk -v a="$(daemon_cpu "$volpid")" -v b="$before" -v r="$runs" -v c="$(cpu_of i 2)" \
  'BEGIN { printf "%.3f", (a - b) / r + c }')
row "(i) $readers files read at once vs $readers flac -d" "$(ms "${t[1]}")" "$(ms "${t[0]}")" "$(ratio "${t[0]}" "${t[1]}")" \
  ">= 0.9" "cpu $cpu s vs $(cpu_of i 1) s"

# (g) the cache of a long file read end to end, then at 2000 random offsets: the most it
# held on disk (sampled every 20 ms), against the budget.
budget=$([ $quick = 1 ] && echo 16777216 || echo 1073741824)
cache_option=()
"$lyrebox" --help > "$results/help.txt"
grep -q -- --cache-size "$results/help.txt" && cache_option=(--cache-size "$budget")
"$lyrebox" -f "${cache_option[@]}" --log "$work/log.txt" "$huge" "$hugevol" >/dev/null & hugepid=$!
pids+=($hugepid)
wait_mount "$hugevol"
cache_bytes() {  # the blocks of the unnamed files the daemon holds open
  local total=0 fd
  for fd in /proc/"$hugepid"/fd/*; do
    case "$(readlink "$fd")" in *"(deleted)") total=$((total + $(stat -L -c %b "$fd" 2>/dev/null || echo 0) * 512)) ;; esac
  done
  echo "$total"
}
rm -f "$results/cache-max"
( most=0; while [ ! -e "$results/cache-stop" ]; do
    b=$(cache_bytes); [ "$b" -gt "$most" ] && most=$b && echo "$most" > "$results/cache-max"; sleep 0.02
  done ) & sampler=$!
image=$(stat -c %s "$hugevol/huge.wav")
cat "$hugevol/huge.wav" > /dev/null
python3 - "$hugevol/huge.wav" <<'PY'
import os, random, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
size = os.fstat(fd).st_size
rnd = random.Random(1)
for _ in range(2000):
    os.pread(fd, 65536, rnd.randrange(size))
PY
touch "$results/cache-stop"; wait $sampler; rm -f "$results/cache-stop"
most=$(cat "$results/cache-max" 2>/dev/null || echo 0)
mib() { awk -v b="$1" 'BEGIN { printf "%.0f MiB", b / 1048576 }'; }
row "(g) most cache on disk, $(mib "$image") image" "$(mib "$most")" "$(mib "$budget")" "$(ratio "$most" "$budget")" "<= 1"
fusermount3 -u "$hugevol"

if [ $have_ffmpegfs = 1 ]; then
  # A cold ffmpegfs is a new mount on an empty cache (it keeps an index of its cache, so
  # emptying the folder under a running one only breaks it).
  fresh_ffm="fusermount3 -u $ffm; rm -rf $work/ffmpegfs-cache; ffmpegfs --desttype=wav \
--cachepath=$work/ffmpegfs-cache $root $ffm >/dev/null 2>&1; \
until mountpoint -q $ffm; do sleep 0.05; done; $drop"
  for f in long16; do
    # ffmpegfs shows song.flac as song.flac.wav (or song.wav with its old name scheme).
    shown=$ffm/$f.flac.wav
    [ -e "$shown" ] || shown=$ffm/$f.wav
    mapfile -t t < <(measure "ffm-a-$f" --prepare "$fresh_ffm" -- \
      "cat $shown > /dev/null" "cat $vol/$f.wav > /dev/null")
    row "cold read $f vs ffmpegfs (no cache)" "$(ms "${t[1]}")" "$(ms "${t[0]}")" "$(ratio "${t[0]}" "${t[1]}")" "info"
    skip=$(( $(stat -c %s "$vol/$f.wav") / 2 / 65536 ))
    mapfile -t t < <(measure "ffm-c-$f" --prepare "$fresh_ffm" -- \
      "dd if=$shown of=/dev/null bs=64k count=1 skip=$skip status=none" \
      "dd if=$vol/$f.wav of=/dev/null bs=64k count=1 skip=$skip status=none")
    row "first 64 KiB, middle, $f vs ffmpegfs" "$(ms "${t[1]}")" "$(ms "${t[0]}")" "$(ratio "${t[1]}" "${t[0]}")" "info"
    mapfile -t t < <(measure "ffm-d" --warmup 1 -- "ls -l $ffm/many" "ls -l $vol/many")
    row "ls -l per file vs ffmpegfs" "$(per "${t[1]}")" "$(per "${t[0]}")" "$(ratio "${t[1]}" "${t[0]}")" "info"
  done
fi

echo
echo "Lyrebox benchmark: $count files of ${short_s} s, long files of ${long_s} s, median of $runs runs"
printf '| %-48s | %10s | %10s | %6s | %-8s | %-24s |\n' measure lyrebox reference ratio target "cpu: lyrebox vs reference"
printf '|%s|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..50})" "------------" "------------" "--------" "----------" \
  "$(printf -- '-%.0s' {1..26})"
printf '%s\n' "${rows[@]}"
echo "(ratios: a, b, i = reference time / lyrebox time; c, d, e, h = lyrebox time / reference time;"
echo " f = sizes, g = most cache bytes on disk / budget; cpu = mean user + system seconds per run,"
echo " the lyrebox daemon's included)"
