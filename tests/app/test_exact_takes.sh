#!/usr/bin/env bash
# A user's takes, each compared frame for frame with the signal played meanwhile into the sink whose
# monitor it records (tests/app/take_check.cpp): Record by hot key 0.1 s after the window appears, by
# the button at 0.5 s, by "trelvik --command record" at 1 s, and by hot key at 5 s with a pause and a
# resume; right after the source came back, and right after the sound server came back; one take
# saved in each compressed format; and one take in every recording format. Every take holds the played signal and nothing else, in order, parted
# only at its pauses; it begins with the audio heard when Record was pressed (within a fragment, or
# as much later as the status line says it missed), and ends with the audio heard at Pause and Stop.
# A witness records the same source meanwhile (played_signal.sh): a stretch of a take that is not the
# signal passes only when the witness heard the same there, the sound server's doing, not the
# program's (a player that ran dry makes the sink play silence; a loaded server drops a stretch for
# every client).
#
# The test runs in a world of its own (tools/test_env.sh) with the sound server test.sh chose: it
# stops and starts that server. With TRELVIK_TAKES_KEEP_GOING=1 it checks every take before it fails,
# to measure a build against all situations.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
need_sound_server
. "$TRELVIK_SOURCE_DIR/tools/test_env.sh"
kind="${TRELVIK_TEST_SERVER:-pulseaudio}"
bin="$TRELVIK_BIN_DIR/trelvik"
tools="$TRELVIK_TESTS_BIN_DIR"
work="$(mktemp -d)"
pid=
player=
format_sink=
cleanup() {
    set +e
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
    [ -n "$player" ] && kill "$player" 2>/dev/null
    witness_stop
    stop_accessibility
    trelvik_env_stop
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    [ -s "$work/trelvik.log" ] && tail -n 20 "$work/trelvik.log"
    exit 1
}
. "$TRELVIK_SOURCE_DIR/tests/app/played_signal.sh"

# PipeWire's graph runs at one rate; it may take the rate of each format's sink, so that nothing is
# resampled.
TRELVIK_ENV_RATES="8000 11025 22050 44100 48000" trelvik_env_start "$kind" ||
    fail "a world of the test's own with $kind did not start"
start_accessibility
sink="$TRELVIK_TEST_SINK"
mkdir -p "$work/home" "$work/rec"

# --- the signal ---

ahead_servers

play() { # sink rate channels bits [latency-ms]
    local latency=()
    # A sink just loaded is listed a moment later on PipeWire.
    for _ in $(seq 100); do pactl list short sinks | awk -v s="$1" '$2 == s { found = 1 } END { exit !found }' && break; sleep 0.05; done
    [ -n "${5:-}" ] && latency=(--latency-ms "$5")
    play_signal "$1" "$2" "$3" "$4" "${latency[@]}"
}

# --- the program ---

configure() { # take-name source rate channels bits
    take_format=("$2" "$3" "$4" "$5")
    printf '[Config]\nRecording Source=1\nRecording Source Name=%s\nRecording Volume=65536\nChannels=%s\nBitsPerSample=%s\nSamplesPerSec=%s\nSave Position=%s\n' \
        "$2" "$4" "$5" "$3" "$work/rec/$1.wav" >"$work/home/Config.ini"
    bytes_per_second=$(($3 * $4 * $5 / 8))
}
# Record, Pause/Resume and Stop as the user gives them; each notes its moment just before.
button_at=
record() { # key|button|command
    case "$1" in
        key) record_at="$(now)"; xdotool key F9 ;;
        button) record_at="$(now)"; xdotool mousemove $button_at click 1 ;;
        command) record_at="$(now)"; "$bin" --command record ;;
    esac
    pauses=()
}
pause() { pauses+=(--pause "$(now)"); xdotool key F10; }
resume() { pauses+=(--resume "$(now)"); xdotool key F10; }
stop() { stop_at="$(now)"; xdotool key F11; }
recorded() { wait_recorded "$work/rec" "$1" "$bytes_per_second"; }
# The witness of the next take, on the source and in the format configured; check stops it.
takes=0
witness() {
    takes=$((takes + 1))
    witness_start "${take_format[@]}" "$work/reference-$takes.raw"
}

# The take just stopped, checked against the signal and the moments; its report goes to the log.
# The status line says how much of the start the source did not deliver, if any.
check() { # file situation [slack-ms]
    local file="$work/rec/$1" missed status
    for _ in $(seq 100); do [ -s "$file" ] && break; sleep 0.1; done
    [ -s "$file" ] || fail "$2: $1 was not saved"
    a11y --window Trelvik wait "push button" "Record F9" --enabled >/dev/null || fail "$2: Record is not enabled again"
    status="$(a11y --window Trelvik text text Status)"
    missed="$(sed -n 's/.* first \([0-9][0-9.,]*\) s are missing.*/\1/p' <<<"$status" | tr , . |
        awk 'NF { printf "%d", $1 * 1000 }')"
    echo "--- $2 ($kind): $status"
    witness_end "$bytes_per_second"
    reference=()
    [ -n "$witnessed" ] && reference=(--reference "$witnessed")
    "$tools/take_check" --take "$file" "${logs[@]}" --record "$record_at" "${pauses[@]}" --stop "$stop_at" \
        --missed-ms "${missed:-0}" --slack-ms "${3:-30}" "${reference[@]}" && return 0
    [ -n "${TRELVIK_TAKES_KEEP_GOING:-}" ] || fail "$2: the take is not what was played"
    failed+=("$2")
}
failed=()

# --- takes right after start, by each way of giving Record ---

play "$sink" 44100 2 16
configure early "$sink.monitor" 44100 2 16
witness
start
at "$shown" 0.1
record key
recorded 1.2
stop
check early.wav "hot key 0.1 s after the window appeared"
quit

configure button "$sink.monitor" 44100 2 16
witness
start
button_at="$(a11y --window Trelvik where "push button" "Record F9")" || fail "the Record button is not on the bus"
at "$shown" 0.5
record button
recorded 1.2
stop
check button.wav "the Record button 0.5 s after the window appeared"
quit

configure command "$sink.monitor" 44100 2 16
witness
start
for _ in $(seq 100); do [ "$("$bin" --command status 2>/dev/null)" = idle ] && break; sleep 0.05; done
at "$shown" 1
record command
recorded 1.2
stop
check command.wav "trelvik --command record 1 s after the window appeared" 80
quit

configure later "$sink.monitor" 44100 2 16
witness
start
at "$shown" 5
record key
recorded 1.2
pause
hold_pause "$work/rec" 1 "$bytes_per_second"
resume
recorded 2.4
stop
check later.wav "hot key 5 s after the window appeared, with a pause"

# --- the source goes and comes back; the server goes and comes back ---

stop_playing
module="$(pactl list short modules | awk '$2 == "module-null-sink" && /sink_name=trelvik_sink/ { print $1; exit }')"
[ -n "$module" ] || fail "the null sink's module is not listed"
pactl unload-module "$module"
for _ in $(seq 100); do pactl list short sources | grep -q "trelvik_sink.monitor" || break; sleep 0.05; done
pactl load-module module-null-sink sink_name=trelvik_sink rate=44100 format=s16le channels=2 >/dev/null
pactl set-default-sink trelvik_sink
pactl set-default-source trelvik_sink.monitor
play "$sink" 44100 2 16
witness
at "$(now)" 1
record key
recorded 1.2
stop
check later_1.wav "hot key 1 s after the source came back"

stop_playing
trelvik_env_restart_server || fail "the sound server did not start again"
ahead_servers
play "$sink" 44100 2 16
witness
record key
recorded 1.2
stop
check later_2.wav "hot key as soon as the sound server came back"
quit

# --- a take saved as FLAC holds the signal sample for sample; the lossy formats hold its length;
# each is ready and listed at Stop, and its wave file is gone ---

save_as() { # take-name format
    configure "$1" "$sink.monitor" 44100 2 16
    printf 'Save Format=%s\n' "$2" >>"$work/home/Config.ini"
}
saved_as() { # file situation
    a11y --window Trelvik wait "push button" "Record F9" --enabled >/dev/null || fail "$2: Record is not enabled again"
    [ -s "$work/rec/$1" ] || fail "$2: $1 was not saved: $(a11y --window Trelvik text text Status)"
    [ ! -e "$work/rec/${1%.*}.wav" ] || fail "$2: the wave file is still there beside $1"
    a11y --window Trelvik wait "list item" "~01 .*/${1//./\\.}" >/dev/null || fail "$2: $1 is not in the list"
}
save_as saved FLAC
witness
start
at "$shown" 0.3
record key
recorded 1.5
stop
saved_as saved.flac "saved as FLAC"
check saved.flac "saved as FLAC"
quit
for choice in "Ogg Vorbis:ogg" "Opus:opus" "MP3:mp3"; do
    save_as "saved-${choice#*:}" "${choice%:*}"
    start
    at "$shown" 0.3
    record key
    recorded 1.5
    stop
    file="saved-${choice#*:}.${choice#*:}"
    saved_as "$file" "saved as ${choice%:*}"
    status="$(a11y --window Trelvik text text Status)"
    missed="$(sed -n 's/.* first \([0-9][0-9.,]*\) s are missing.*/\1/p' <<<"$status" | tr , .)"
    read -r rate channels frames level <<<"$("$tools/take_check" --info "$work/rec/$file")"
    echo "--- saved as ${choice%:*} ($kind): $status; $rate Hz, $channels channels, $frames frames, $level dBFS"
    # Within a codec frame of the wave file it was made from, which holds the time from Record to
    # Stop but for the start the status line says is missing.
    awk -v f="$frames" -v r="$rate" -v a="$record_at" -v b="$stop_at" -v c="$channels" -v m="${missed:-0}" \
        'BEGIN { d = f / r - (b - a - m); exit !(c == 2 && d > -0.15 && d < 0.15 && f > 0) }' ||
        fail "saved as ${choice%:*}: $frames frames at $rate Hz, $channels channels for a take of $(awk -v a="$record_at" -v b="$stop_at" 'BEGIN { print b - a }') s, ${missed:-0} s missing"
    # The signal is full-scale uniform noise, -4.77 dBFS: a lossy copy keeps its level within the
    # little the codec's low-pass takes off, never silence or something louder.
    awk -v l="$level" 'BEGIN { exit !(l > -7.77 && l < -1.77) }' ||
        fail "saved as ${choice%:*}: the copy's level is $level dBFS, not the signal's -4.77 dBFS"
    quit
done

# --- every recording format, each from a sink of its own format, so that nothing is converted ---

# On PipeWire the graph runs at the sink's rate; at 8000 to 22050 Hz its sinks in this test world
# play quanta of silence in place of the signal now and then (128 to 1024 frames, whatever the
# player's buffer), which the player's report cannot tell from a take that lost them. Those rates
# are checked on PulseAudio; PipeWire checks every format at the rate its graph runs at here.
rates="8000 11025 22050 44100"
[ "$kind" = pipewire ] && rates=44100
for rate in $rates; do
    for channels in 1 2; do
        for bits in 8 16; do
            format="s16le"
            [ "$bits" = 8 ] && format=u8
            format_sink="$(pactl load-module module-null-sink sink_name=trelvik_format rate="$rate" \
                channels="$channels" format="$format")" || fail "no null sink of $rate Hz, $channels channels, $bits bits"
            # A small buffer, so that PulseAudio's sink never renders far ahead. PipeWire's sink
            # renders a quantum at a time: its player keeps the server's own buffer, as the main
            # sink's does.
            if [ "$kind" = pipewire ]; then
                play trelvik_format "$rate" "$channels" "$bits"
            else
                play trelvik_format "$rate" "$channels" "$bits" 50
            fi
            name="format-$rate-$channels-$bits"
            configure "$name" trelvik_format.monitor "$rate" "$channels" "$bits"
            witness
            start
            at "$shown" 0.3
            record key
            recorded 0.8
            stop
            check "$name.wav" "$rate Hz, $channels channels, $bits bits"
            [ "$(soxi -r "$work/rec/$name.wav")" = "$rate" ] && [ "$(soxi -c "$work/rec/$name.wav")" = "$channels" ] &&
                [ "$(soxi -b "$work/rec/$name.wav")" = "$bits" ] || fail "$name.wav is $(soxi "$work/rec/$name.wav")"
            quit
            stop_playing
            pactl unload-module "$format_sink"
            format_sink=
        done
    done
done
[ ${#failed[@]} -eq 0 ] || fail "takes not what was played: $(printf '%s; ' "${failed[@]}")"
echo PASS
