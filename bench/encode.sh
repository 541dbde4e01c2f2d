#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What encoding a take while it records costs, format by format: FLAC, Ogg Vorbis, Opus and MP3
# (lame with "-b 128 -m j"). bench/encode_driver records a music-like 44100 Hz stereo 16-bit signal
# into a spool, the program's TakeEncoder following it, then ends the take as the program does at
# Stop. One format after another, nothing run beside it, the script prints:
#
#   - CPU seconds per recorded minute of the program's encoding, from the long take: all the
#     driver's threads and its children (getrusage RUSAGE_SELF + RUSAGE_CHILDREN: the encoder's
#     thread, lame for MP3, and also the spool's writer and the feeding), less the same take
#     recorded without a copy (the WAV row: what the recording costs in any format). Against it the
#     standard tool (flac, oggenc, opusenc, lame) encoding the same signal from a pipe, with the
#     settings the program's encoder uses (libsndfile's defaults: FLAC level 5, Vorbis quality 4,
#     Opus at its automatic bit rate), counted as the tool's own CPU time alone (bash's `times` for
#     the child of a subshell), not the generator's. Goal: the ratio at most 1.2. The ratio of the
#     whole driver to the tool, and the encoder's thread with lame measured directly, are shown too.
#   - The time from the end of the take (the spool closed, finish() called) to the checked,
#     complete file, for a 1-minute take and a long one (ENCODE_LONG_MINUTES, default 60). Goal:
#     under 1 s, whatever the length.
#   - The size of an hour of each format, and of the wave file, for comparison.
#
# The takes are fed ENCODE_SPEED (default 20) times faster than real time, so that a 60-minute take
# takes 3 minutes a format; the last 2 s of each take arrive in real time. The speed-up stands in for
# real time fairly: the encoder keeps ahead of the spool's writer at that speed as it does in real
# time (the last line of the output shows how much was left), so in both cases what is left to encode at
# Stop is what arrived during the last poll interval of the encoder plus the spool's last write
# interval (250 ms each), never the take's length; the real-time end makes that remainder the same
# amount of audio as in a real recording. The CPU time per minute is that of the same work in fewer,
# larger pieces; in real time the encoder polls ENCODE_SPEED times as often per minute of audio (a
# header read each time), and lame is woken as much more often.
#
#   bench/encode.sh [BUILD_DIR]      (default: build; the driver is built there when missing)
#   ENCODE_LONG_MINUTES=10 bench/encode.sh ...     a quicker run
set -euo pipefail
shopt -s inherit_errexit
export LC_ALL=C
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
driver="$build/bench/encode_driver"
long="${ENCODE_LONG_MINUTES:-60}"
speed="${ENCODE_SPEED:-20}"
short=1

for tool in flac:flac oggenc:vorbis-tools opusenc:opus-tools lame:lame; do
    command -v "${tool%%:*}" >/dev/null || {
        echo "encode.sh: ${tool%%:*} is missing (Debian package ${tool#*:}; tools/setup.sh installs it with the test packages)" >&2
        exit 1
    }
done
if [ ! -x "$driver" ]; then
    cmake --build "$build" --target encode_driver -j 2 >/dev/null
fi

work="$(mktemp -d /tmp/trelvik-bench-encode.XXXXXX)"
trap 'rm -rf "$work"' EXIT

# The value of key in the driver's key=value output.
value() { sed -n "s/^$1=//p" "$2"; }

# The CPU seconds of the standard encoder: the signal from the driver on its standard input, the
# encoder's own user and system time from `times` of the subshell that runs it.
tool_cpu() {
    "$driver" signal "$long" | (
        "$@" || exit 1
        times >"$work/times"
    )
    awk 'NR == 2 {
        total = 0
        for (i = 1; i <= 2; ++i) { sub(/s$/, "", $i); split($i, part, "m"); total += part[1] * 60 + part[2] }
        printf "%.3f", total
    }' "$work/times"
}

declare -A name=([flac]=FLAC [vorbis]="Ogg Vorbis" [opus]=Opus [mp3]=MP3)
# The recording alone, as for a wave file: what every format costs before its copy.
echo "encode.sh: WAV..." >&2
"$driver" take wav "$long" "$work/take.wav" --speed "$speed" >"$work/wav.txt"
wav_cpu="$(value driver_cpu_s "$work/wav.txt")"
rows=()
direct=()
lags=()
for kind in flac vorbis opus mp3; do
    echo "encode.sh: ${name[$kind]}..." >&2
    out="$work/take.$kind"
    "$driver" take "$kind" "$short" "$out" --speed "$speed" >"$work/short.txt"
    rm -f "$out"
    "$driver" take "$kind" "$long" "$out" --speed "$speed" >"$work/long.txt"
    rm -f "$out"

    tool_out="$work/tool.$kind"
    case "$kind" in
    flac) cpu="$(tool_cpu flac -s -f -5 -o "$tool_out" -)" ;;
    vorbis) cpu="$(tool_cpu oggenc -Q -q 4 -o "$tool_out" -)" ;;
    opus) cpu="$(tool_cpu opusenc --quiet - "$tool_out")" ;;
    mp3) cpu="$(tool_cpu lame --quiet -b 128 -m j - "$tool_out")" ;;
    esac
    tool_bytes="$(stat -c %s "$tool_out")"
    rm -f "$tool_out"

    all="$(value driver_cpu_s "$work/long.txt")"
    rows+=("$(awk -v n="${name[$kind]}" -v m="$long" -v a="$all" -v w="$wav_cpu" -v t="$cpu" \
        -v s1="$(value stop_s "$work/short.txt")" -v sl="$(value stop_s "$work/long.txt")" \
        -v b="$(value output_bytes "$work/long.txt")" -v tb="$tool_bytes" 'BEGIN {
        printf "%-10s %7.3f %8.3f %7.3f %6.2fx %6.2fx %8.3f s %8.3f s %8.1f %8.1f\n",
            n, a / m, (a - w) / m, t / m, (a - w) / t, a / t, s1, sl, b * 60 / m / 1e6, tb * 60 / m / 1e6
    }')")
    direct+=("$(awk -v n="${name[$kind]}" -v m="$long" -v e="$(value encoder_cpu_s "$work/long.txt")" \
        -v t="$cpu" 'BEGIN { printf "%s %.3f (%.2fx)", n, e / m, e / t }')")
    lags+=("${name[$kind]} $(value lag_at_end_s "$work/short.txt")/$(value lag_at_end_s "$work/long.txt") s")
done

echo
echo "Takes of $short and $long min, 44100 Hz stereo 16-bit, fed at ${speed}x real time (the last 2 s at 1x)."
echo "CPU s per recorded minute, from the $long-min takes. Goals: ratio <= 1.2; stop < 1 s."
fmt='%-10s %7s %8s %7s %7s %7s %10s %10s %8s %8s\n'
printf "$fmt" "" "all" "encoding" "tool" "ratio" "all/" "stop" "stop" "MB/hour" "MB/hour"
printf "$fmt" "format" "CPU" "CPU" "CPU" "" "tool" "$short min" "$long min" "" "tool"
printf '%s\n' "${rows[@]}"
awk -v n=WAV -v m="$long" -v a="$wav_cpu" -v s="$(value stop_s "$work/wav.txt")" \
    -v b="$(value spool_bytes "$work/wav.txt")" 'BEGIN {
    printf "%-10s %7.3f %8s %7s %7s %7s %10s %8.3f s %8.1f\n", n, a / m, "", "", "", "", "", s, b * 60 / m / 1e6
}'
echo
echo "all: the whole driver, all threads and children (RUSAGE_SELF + RUSAGE_CHILDREN); encoding: all less"
echo "the WAV row (the same take recorded without a copy); ratio: encoding / tool. Stop: from the end of"
echo "the take (spool closed, then finish()) to the checked file."
echo "The encoder's thread and its children alone, measured directly: ${direct[*]}"
echo "Not yet encoded when the last audio arrived ($short/$long min): ${lags[*]}"
