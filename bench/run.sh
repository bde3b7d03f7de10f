#!/usr/bin/env bash
# Measures a Lyrebox volume side by side with flac, bindfs and (when installed) ffmpegfs
# and prints the results as ratios against their targets. Not a test: numbers depend on
# the machine and its load.
#
#   bench/run.sh [--quick]
#     --quick          a small corpus (200 files of 5 s, long files of 60 s), 3 runs each
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
if [ $quick = 1 ]; then short_s=5 long_s=60 runs=3; else short_s=30 long_s=600 runs=5; fi
count=200

lyrebox=$(realpath "${BUILD_DIR:-build}/src/cli/lyrebox")
for tool in "$lyrebox" bindfs hyperfine flac sox fusermount3; do
  command -v "$tool" >/dev/null || { echo "bench: missing $tool (build first; scripts/deps.sh --bench)" >&2; exit 1; }
done

work=${BENCH_DIR:-$(mktemp -d /tmp/lyrebox-bench.XXXXXX)}
mkdir -p "$work"
work=$(realpath "$work")
root=$work/root-$short_s-$long_s    # FLAC corpus: many/ and the long files
wavs=$work/wav-$long_s              # the long files decoded, for bindfs
vol=$work/vol bindwav=$work/bind-wav bindroot=$work/bind-root ffm=$work/ffmpegfs
results=$work/results
mkdir -p "$vol" "$bindwav" "$bindroot" "$ffm" "$results"

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

# ---------------------------------------------------------------------------------------
# Mounts, always undone.

pids=()
cleanup() {
  for m in "$vol" "$bindwav" "$bindroot" "$ffm"; do
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

rows=()
row() {  # measure lyrebox reference ratio target ok
  rows+=("$(printf '| %-44s | %9s | %9s | %6s | %-7s |' "$1" "$2" "$3" "$4" "$5")")
}
ms() { awk -v s="$1" 'BEGIN { printf "%.1f ms", s * 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

for f in long16 long24; do
  # (a) cold sequential read against flac decoding to /dev/null: speed ratio.
  mapfile -t t < <(measure "a-$f" --prepare "$drop" -- \
    "flac -s -d -c $root/$f.flac > /dev/null" "cat $vol/$f.wav > /dev/null")
  row "(a) cold read $f vs flac -d -c" "$(ms "${t[1]}")" "$(ms "${t[0]}")" "$(ratio "${t[0]}" "${t[1]}")" ">= 0.9"

  # (b) warm re-read against the decoded WAV through bindfs: speed ratio.
  mapfile -t t < <(measure "b-$f" --warmup 1 -- \
    "cat $bindwav/$f.wav > /dev/null" "cat $vol/$f.wav > /dev/null")
  row "(b) warm re-read $f vs bindfs" "$(ms "${t[1]}")" "$(ms "${t[0]}")" "$(ratio "${t[0]}" "${t[1]}")" ">= 0.8"
done

# (e) cp of a long WAV into the volume until close returns, against flac -5 alone.
mapfile -t t < <(measure e --prepare "rm -f $vol/written16.wav $work/ref.flac" -- \
  "flac -s -f -5 -o $work/ref.flac $wavs/long16.wav" "cp $wavs/long16.wav $vol/written16.wav")
row "(e) cp long16.wav in vs flac -5" "$(ms "${t[1]}")" "$(ms "${t[0]}")" "$(ratio "${t[1]}" "${t[0]}")" "<= 1.5"
cp "$wavs/long24.wav" "$vol/written24.wav"

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
        "$(ratio "${t[1]}" "${t[0]}")" "<= 10"
    done
  done
done

# (d) ls -l of a folder of $count files, per file, against bindfs.
mapfile -t t < <(measure d --warmup 1 -- "ls -l $bindroot/many" "ls -l $vol/many")
per() { awk -v s="$1" -v n="$count" 'BEGIN { printf "%.3f ms", s * 1000 / n }'; }
row "(d) ls -l of $count files, per file, vs bindfs" "$(per "${t[1]}")" "$(per "${t[0]}")" \
  "$(ratio "${t[1]}" "${t[0]}")" "<= 2"

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
printf '| %-44s | %9s | %9s | %6s | %-7s |\n' measure lyrebox reference ratio target
printf '|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..46})" "-----------" "-----------" "--------" "---------"
printf '%s\n' "${rows[@]}"
echo "(ratios: a, b = reference time / lyrebox time; c, d, e = lyrebox time / reference time)"
