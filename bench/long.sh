#!/usr/bin/env bash
# Files past 4 GiB: whether the WAV image of a 2 h 13 min 96 kHz 24-bit FLAC file (4.6 GB,
# an RF64 file) is served at the rate of a short one, at its start and past 4 GiB, and
# how much memory lyrebox needs to take a 4.4 GB WAV file in. Not a test: numbers depend
# on the machine and its load.
#
#   bench/long.sh
#   BUILD_DIR=build    where lyrebox was built (build/src/cli/lyrebox)
#   BENCH_DIR=DIR      files and mount point (default: a new folder under /tmp); needs
#                      about 3 GB, the long FLAC file a corpus already there is reused
#   RUNS=3             reads of each kind; the median is shown
set -euo pipefail
cd "$(dirname "$0")/.."

lyrebox=$(realpath "${BUILD_DIR:-build}/src/cli/lyrebox")
runs=${RUNS:-3}
for tool in "$lyrebox" sox flac g++ fusermount3; do
  command -v "$tool" >/dev/null || { echo "long.sh: missing $tool" >&2; exit 1; }
done
work=${BENCH_DIR:-$(mktemp -d /tmp/lyrebox-long.XXXXXX)}
mkdir -p "$work/root" "$work/vol"
work=$(realpath "$work")

# 4.096 s of pink noise with a slow tremolo (whole blocks of 4096 frames), repeated by
# copying its frames: 15 times for the short file (1 min), 1950 times for the long one.
if [ ! -e "$work/.complete" ]; then
  echo "long.sh: making the files in $work"
  g++ -std=c++20 -O2 bench/flac_repeat.cpp -o "$work/flac_repeat"
  sox -R -n -r 96000 -b 24 -c 2 "$work/piece.wav" synth 4.096 pinknoise tremolo 0.3 40 vol 0.6
  flac -s -f -5 -b 4096 -o "$work/piece.flac" "$work/piece.wav"
  "$work/flac_repeat" "$work/piece.flac" "$work/root/short.flac" 15
  "$work/flac_repeat" "$work/piece.flac" "$work/root/long.flac" 1950
  # 4.4 GB of 16-bit stereo silence as RF64, sparse, with a little noise at its end.
  python3 - "$work/big.wav" <<'EOF'
import struct, sys
frames = 1100000000; data = 4 * frames
with open(sys.argv[1], 'wb') as f:
    f.write(b'RF64' + struct.pack('<I', 0xFFFFFFFF) + b'WAVE')
    f.write(struct.pack('<4sIQQQI', b'ds64', 28, data + 72, data, frames, 0))
    f.write(struct.pack('<4sIHHIIHH', b'fmt ', 16, 1, 2, 44100, 176400, 4, 16))
    f.write(b'data' + struct.pack('<I', 0xFFFFFFFF))
    f.seek(80 + data - 4096)
    f.write(bytes((i * 7919) % 256 for i in range(4096)))
EOF
  touch "$work/.complete"
fi

pid=
cleanup() {
  mountpoint -q "$work/vol" && { fusermount3 -u "$work/vol" 2>/dev/null || fusermount3 -u -z "$work/vol"; }
  [ -n "$pid" ] && wait "$pid" 2>/dev/null || true
  rm -f "$work/root/big.flac" "$work/root/big.wav"
}
trap cleanup EXIT
"$lyrebox" -f -c 5 --log "$work/log.txt" "$work/root" "$work/vol" >/dev/null & pid=$!
for _ in $(seq 200); do mountpoint -q "$work/vol" && break; sleep 0.05; done

drop() { sync; echo 3 > /proc/sys/vm/drop_caches 2>/dev/null || true; }
# MB/s of reading COUNT MiB at SKIP MiB of FILE, median of $runs fresh openings.
rate() {  # file skip count
  local rates=()
  for _ in $(seq "$runs"); do
    drop
    local t0 t1
    t0=$(date +%s.%N)
    dd if="$1" of=/dev/null bs=1M skip="$2" count="$3" status=none
    t1=$(date +%s.%N)
    rates+=("$(awk -v n="$3" -v a="$t0" -v b="$t1" 'BEGIN { printf "%.0f", n * 1.048576 / (b - a) }')")
  done
  printf '%s\n' "${rates[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p"
}

size=$(stat -c %s "$work/vol/long.wav")
# The same amount everywhere: 32 MiB, the whole of the short image but its last bytes.
short=$(rate "$work/vol/short.wav" 0 32)
start=$(rate "$work/vol/long.wav" 0 32)
past=$(rate "$work/vol/long.wav" $((size / 1048576 - 40)) 32)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

hwm() { awk '/VmHWM/ { print $2 }' "/proc/$pid/status"; }
before=$(hwm)
t0=$(date +%s.%N)
cp --sparse=always "$work/big.wav" "$work/vol/big.wav"
# The file closed unfinished as far as its holes go: it is encoded at its last release.
until [ -e "$work/root/big.flac" ]; do sleep 0.2; done
t1=$(date +%s.%N)
after=$(hwm)

echo
echo "Lyrebox past 4 GiB: long.wav is $size bytes ($(head -c 4 "$work/vol/long.wav")), median of $runs fresh readings"
printf '| %-46s | %10s | %-9s |\n' measure value target
printf '|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..48})" "------------" "-----------"
printf '| %-46s | %7s MB/s | %-9s |\n' "read short.wav (1 min), 32 MiB" "$short" "reference"
printf '| %-46s | %7s MB/s | %-9s |\n' "read long.wav, 32 MiB at its start" "$start" "~ short"
printf '| %-46s | %7s MB/s | %-9s |\n' "read long.wav, 32 MiB past 4.2 GiB" "$past" "~ short"
printf '| %-46s | %10s | %-9s |\n' "ratio long start / short" "$(ratio "$start" "$short")" ">= 0.9"
printf '| %-46s | %10s | %-9s |\n' "ratio long past 4 GiB / short" "$(ratio "$past" "$short")" ">= 0.9"
printf '| %-46s | %8.1f s | %-9s |\n' "cp of a 4.4 GB RF64 WAV file in, until stored" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')" "info"
printf '| %-46s | %7s MiB | %-9s |\n' "lyrebox peak memory before and after it" "$((before / 1024))/$((after / 1024))" "not ~4 GB"
