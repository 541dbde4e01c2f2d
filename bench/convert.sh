#!/usr/bin/env bash
# Encodes a 10-minute 44100 Hz stereo 16-bit wave file to MP3 through the program's conversion and
# its progress display (convert_driver), and with the encoder run directly with the same options,
# alternating, three times each. Prints the median wall times and their ratio (target: at most 1.05).
#
#   bench/convert.sh [BUILD_DIR]      (default: build; the driver is built there when missing)
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
driver="$build/bench/convert_driver"
encoder="$(command -v lame)" || { echo "convert.sh: lame is not installed" >&2; exit 1; }
command -v sox >/dev/null || { echo "convert.sh: sox is not installed" >&2; exit 1; }
if [ ! -x "$driver" ]; then
    cmake --build "$build" --target convert_driver -j 2 >/dev/null
fi

work="$(mktemp -d /tmp/trelvik-bench-convert.XXXXXX)"
trap 'rm -rf "$work"' EXIT
wav="$work/ten minutes.wav"
sox -n -r 44100 -c 2 -b 16 "$wav" synth 600 sine 440 sine 660 vol 0.5

now() { date +%s.%N; }
runner_times=()
direct_times=()
for round in 1 2 3; do
    start=$(now)
    "$driver" "$wav" "$work/runner.mp3" " -b 128 -m j" >"$work/driver.out"
    runner_times+=("$(echo "$(now) - $start" | bc)")
    start=$(now)
    "$encoder" -b 128 -m j "$wav" "$work/direct.mp3" >/dev/null 2>&1
    direct_times+=("$(echo "$(now) - $start" | bc)")
    cmp -s "$work/runner.mp3" "$work/direct.mp3" || { echo "convert.sh: the two MP3 files differ" >&2; exit 1; }
done

median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
runner_median=$(median "${runner_times[@]}")
direct_median=$(median "${direct_times[@]}")
echo "through the program: ${runner_times[*]} s (median $runner_median s)"
echo "lame directly:      ${direct_times[*]} s (median $direct_median s)"
sed 's/^/driver: /' "$work/driver.out"
printf 'ratio: %.3f (target <= 1.05)\n' "$(echo "$runner_median / $direct_median" | bc -l)"
