#!/usr/bin/env bash
# Recording cost against parecord: records 60 s at 44100 Hz, 16 bits, stereo from a null sink's
# monitor with the program's capture component (bench/record_driver) and with
# `parecord --latency-msec=50` at the same time, while a signal plays into the sink. Prints CPU
# seconds per recorded minute for both and their ratio, the driver's peak and checkpoint memory,
# and how long stopping takes after 10 s and after 60 s. The driver measures the input level of
# what it records, as the program does; the program itself then records 30 s with its window on
# screen (the meter drawn 30 times a second) and 30 s minimised, under a private Xvfb, with
# parecord recording beside it again. The driver and parecord also record 30 s side by side on one
# core with the sound server, where a wake costs the same for both. Last, what a bare wake of a thread costs on this machine:
# the floor under every figure (bench/wake_floor).
#
#   bench/record.sh [BUILD_DIR]     (default: build-audio, then build)
# Runs in the tests' world (tools/test_env.sh: a private Xvfb and PulseAudio with a null sink) and
# stops it again; run inside "tools/test_env.sh --server pipewire" it uses that world instead.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-}"
if [ -z "$build" ]; then
    for candidate in "$top/build-audio" "$top/build"; do
        [ -x "$candidate/bench/record_driver" ] && { build="$candidate"; break; }
    done
fi
driver="$build/bench/record_driver"
[ -x "$driver" ] || { echo "record.sh: build bench/record_driver first (cmake --build <dir> --target record_driver)"; exit 1; }

. "$top/tools/test_env.sh"
trelvik_bench_begin bench

trelvik_env_enter pulseaudio || { echo "record.sh: the test world did not start"; exit 1; }
sink="$TRELVIK_TEST_SINK"
unset QT_QPA_PLATFORM

# A signal for the whole run: pink noise at a moderate level.
sox -n -r 44100 -c 2 -b 16 "$work/signal.wav" synth 80 pinknoise vol 0.3
paplay --device="$sink" "$work/signal.wav" &
pids+=($!)
trelvik_env_until trelvik_env_hears_sound || { echo "record.sh: the signal does not play"; exit 1; }

# parecord with the same fragment size, in the same run.
parecord --latency-msec=50 --device="$sink.monitor" --rate=44100 --channels=2 --format=s16le \
    --file-format=wav "$work/parecord.wav" &
parecord_pid=$!
pids+=($parecord_pid)

"$driver" 60 "$work/long.wav" >"$work/long.txt"
# parecord's CPU time, read before it is stopped.
parecord_cpu=$(awk -v n="$(trelvik_cpu_ns "$parecord_pid")" 'BEGIN { printf "%.3f", n / 1e9 }')
kill -INT "$parecord_pid"; wait "$parecord_pid" 2>/dev/null || true

"$driver" 10 "$work/short.txt.wav" >"$work/short.txt"

# The same on one core: the sound server, the player and both recorders. A wake on a core beside
# the server's thread costs less than one on a core of its own, and which one a thread gets changes
# for tens of seconds at a time, so on several cores either recorder can be lucky for a whole run.
# On one core neither can. Only in a world this run started: another's server is left as it is.
one_core_line="one core                 not measured: needs taskset, two cores or more, and a sound server of this run's own"
if command -v taskset >/dev/null && [ "$(nproc)" -gt 1 ] && [ -n "$(trelvik_env_sound_server_pid)" ]; then
    shared=("${trelvik_env_pids[@]}" "${pids[@]}")
    for pid in "${shared[@]}"; do taskset -a -p -c 0 "$pid" >/dev/null 2>&1 || true; done
    taskset -c 0 parecord --latency-msec=50 --device="$sink.monitor" --rate=44100 --channels=2 --format=s16le \
        --file-format=wav "$work/parecord1.wav" &
    parecord_pid=$!
    pids+=($parecord_pid)
    taskset -c 0 "$driver" 30 "$work/one_core.wav" >"$work/one_core.txt"
    one_parecord=$(awk -v n="$(trelvik_cpu_ns "$parecord_pid")" 'BEGIN { printf "%.3f", 2 * n / 1e9 }')
    kill -INT "$parecord_pid"; wait "$parecord_pid" 2>/dev/null || true
    for pid in "${shared[@]}"; do taskset -a -p -c "0-$(($(nproc) - 1))" "$pid" >/dev/null 2>&1 || true; done
    one_driver=$(awk -v s="$(grep '^cpu_s=' "$work/one_core.txt" | cut -d= -f2)" 'BEGIN { printf "%.3f", 2 * s }')
    one_core_line="one core                 driver $one_driver s, parecord $one_parecord s per minute, ratio $(awk -v d="$one_driver" -v p="$one_parecord" 'BEGIN { if (p > 0) printf "%.2f", d / p; else printf "n/a" }') (server, player and both on core 0)"
fi

# The floor under every figure: what a thread's bare wake costs on this machine, now.
floor_us=
if [ -x "$build/bench/wake_floor" ]; then floor_us="$("$build/bench/wake_floor" 5 | sed -n 's/^us_per_wake=//p')"; fi

# The whole program, started and stopped through its remote control on a private session bus.
program_lines=()
trelvik="$build/bin/trelvik"
if [ -x "$trelvik" ] && command -v xdotool >/dev/null && command -v dbus-daemon >/dev/null; then
    bus="$(trelvik_private_bus)"
    pids+=("$(sed -n 2p <<<"$bus")")
    export DBUS_SESSION_BUS_ADDRESS="$(sed -n 1p <<<"$bus")"
    mkdir -p "$work/home"
    printf '[Config]\nRecording Source=1\nRecording Source Name=%s\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=44100\nSave Position=%s\n' \
        "$sink.monitor" "$work/take.wav" >"$work/home/Config.ini"
    "$trelvik" --home "$work/home" >"$work/trelvik.log" 2>&1 &
    program=$!
    pids+=($program)
    window=
    for _ in $(seq 100); do
        window="$(xdotool search --onlyvisible --name '^Trelvik$' 2>/dev/null | head -n 1)" && [ -n "$window" ] && break
        sleep 0.1
    done
    for _ in $(seq 100); do [ "$("$trelvik" --command status 2>/dev/null)" = idle ] && break; sleep 0.1; done
    parecord --latency-msec=50 --device="$sink.monitor" --rate=44100 --channels=2 --format=s16le \
        --file-format=wav "$work/parecord2.wav" &
    parecord_pid=$!
    pids+=($parecord_pid)
    cpu_of() { trelvik_cpu_ns "$1"; }
    "$trelvik" --command record >/dev/null
    sleep 2
    p0=$(cpu_of "$program"); r0=$(cpu_of "$parecord_pid")
    sleep 30
    p1=$(cpu_of "$program"); r1=$(cpu_of "$parecord_pid")
    iconify="$build/tests/bin/xiconify"
    if [ -x "$iconify" ]; then "$iconify" "$window"; else xdotool windowunmap --sync "$window"; fi
    sleep 2
    p2=$(cpu_of "$program"); r2=$(cpu_of "$parecord_pid")
    sleep 30
    p3=$(cpu_of "$program"); r3=$(cpu_of "$parecord_pid")
    "$trelvik" --command stop >/dev/null
    kill -INT "$parecord_pid"; wait "$parecord_pid" 2>/dev/null || true
    per_minute() { awk -v t="$1" 'BEGIN { printf "%.3f", 2 * t / 1e9 }'; }
    program_lines+=("program on screen        $(per_minute $((p1 - p0))) s per minute, parecord beside it $(per_minute $((r1 - r0))) s")
    program_lines+=("program minimised        $(per_minute $((p3 - p2))) s per minute, parecord beside it $(per_minute $((r3 - r2))) s")
    program_lines+=("minimised ratio          $(awk -v p=$((p3 - p2)) -v r=$((r3 - r2)) 'BEGIN { printf "%.2f", p / r }')")
    program_lines+=("program peak RSS         $(awk '/VmHWM/ { print $2 }' "/proc/$program/status") KiB")
    kill "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true
else
    program_lines+=("program                  not measured: needs bin/trelvik, xdotool and dbus-daemon")
fi

value() { grep "^$1=" "$2" | cut -d= -f2-; }
driver_cpu=$(value cpu_s "$work/long.txt")
echo "recorded                 60 s, 44100 Hz, 16 bits, stereo, from $sink.monitor"
echo "driver CPU per minute    ${driver_cpu} s   (written once a second, header with every write, fdatasync every 5 s)"
echo "parecord CPU per minute  ${parecord_cpu} s   (--latency-msec=50)"
if awk -v p="$parecord_cpu" 'BEGIN { exit !(p > 0) }'; then
    echo "CPU ratio                $(awk -v d="$driver_cpu" -v p="$parecord_cpu" 'BEGIN { printf "%.2f", d / p }')"
else
    echo "CPU ratio                n/a (parecord used no processor time)"
fi
echo "driver threads           $(value threads "$work/long.txt" | sed 's/,/, /g') s"
echo "driver peak RSS          $(value peak_rss_kb "$work/long.txt") KiB"
echo "driver RSS after 10 s    $(value rss_kb_at_10s "$work/long.txt") KiB"
echo "driver RSS after 60 s    $(value rss_kb_at_60s "$work/long.txt") KiB"
echo "op 0 after 10 s          $(value stop_ms "$work/short.txt") ms"
echo "op 0 after 60 s          $(value stop_ms "$work/long.txt") ms"
echo "frames recorded (60 s)   $(value frames "$work/long.txt"); the source delivered nothing for the first $(value missed_start_ms "$work/long.txt") ms"
echo "$one_core_line"
if [ -n "$floor_us" ]; then
    echo "bare wake                ${floor_us} us; 20 wakes a second (a 50 ms fragment) alone cost $(awk -v u="$floor_us" 'BEGIN { printf "%.3f", u * 20 * 60 / 1e6 }') s per minute"
fi
printf '%s\n' "${program_lines[@]}"
