#!/usr/bin/env bash
# The seconds before Record, and takes that sound starts, as a user meets them with the real
# program, compared frame for frame with the signal played meanwhile into the sink whose monitor it
# records (tests/app/take_check.cpp):
#   - with "Keep the seconds before Record" at 5 and the program idle for longer than that, a take
#     started by "trelvik --command record" begins with the audio heard 5 s before the command, and
#     goes on seamlessly to its Stop; so does the next take, by hot key with a pause, 5.5 s after the
#     first one's Stop; one that the timer starts; and one by the Record button after the
#     source went and came back;
#   - armed for sound ("trelvik --command arm", one file for each sound, 1 s before it kept), bursts of
#     the signal each make a file that holds the burst whole, 1 s into the file; "--command status"
#     says armed; armed for one take with pauses, two bursts make one file that holds both.
# The window says that it listens, on the accessibility bus too.
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

trelvik_env_start "$kind" || fail "a world of the test's own with $kind did not start"
start_accessibility
sink="$TRELVIK_TEST_SINK"
mkdir -p "$work/home" "$work/rec"

ahead_servers
play() { # [signal_player's options: --bursts ON_MS:OFF_MS, --gain-db DB, --dc FRACTION]
    play_signal "$sink" 44100 2 16 "$@"
}

bytes_per_second=$((44100 * 4))
configure() { # take-name extra-lines
    printf '[Config]\nRecording Source=1\nRecording Source Name=%s\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=44100\nSave Position=%s\n%s\n' \
        "$sink.monitor" "$work/rec/$1.wav" "$2" >"$work/home/Config.ini"
}
# The moment the window says it listens: the user acts a while after it.
listening() { # text-regex
    a11y --window Trelvik --timeout 20 wait label "~$1" --showing >/dev/null ||
        fail "the window does not say it listens ($1): $(a11y --window Trelvik text text Status); its streams: $(program_streams | paste -sd ";")"
    listening_since="$(now)"
}
recorded() { wait_recorded "$work/rec" "$1" "$bytes_per_second"; }
# The program's streams on the server, one a line: name, source index, "corked" or "running".
program_streams() {
    pactl -f json list source-outputs 2>/dev/null | python3 -c '
import json, sys
for o in json.load(sys.stdin):
    if o.get("properties", {}).get("application.process.id") == sys.argv[1]:
        print("%s\t%s\t%s" % (o["properties"].get("media.name"), o.get("source"),
                              "corked" if o.get("corked") else "running"))' "$pid"
}
# The program's listening stream reads the source (not only the corked one that keeps it ready).
listens_to() { # source
    local index
    index="$(pactl list short sources | awk -v n="$1" '$2 == n { print $1; exit }')"
    [ -n "$index" ] && program_streams | awk -F '\t' -v i="$index" '$1 == "Listening" && $2 == i { found = 1 } END { exit !found }'
}
# The witness of a take (played_signal.sh) records from before the seconds the take keeps from
# before Record; witnessed() stops it once it has heard the take's end and names its recording in
# reference for the check.
witnessed_takes=0
witness() {
    witnessed_takes=$((witnessed_takes + 1))
    witness_start "$sink.monitor" 44100 2 16 "$work/reference-$witnessed_takes.raw"
}
reference=()
witnessed() {
    witness_end "$bytes_per_second"
    reference=()
    [ -n "$witnessed" ] && reference=(--reference "$witnessed")
    return 0
}
check() { # file situation slack-ms [pre-roll-ms]
    local file="$work/rec/$1"
    for _ in $(seq 100); do [ -s "$file" ] && break; sleep 0.1; done
    [ -s "$file" ] || fail "$2: $1 was not saved: $(a11y --window Trelvik text text Status)"
    a11y --window Trelvik wait "push button" "Record F9" --enabled >/dev/null || fail "$2: Record is not enabled again"
    echo "--- $2 ($kind): $(a11y --window Trelvik text text Status)"
    "$tools/take_check" --take "$file" "${logs[@]}" --record "$record_at" "${pauses[@]}" --stop "$stop_at" \
        --slack-ms "$3" --pre-roll-ms "${4:-5000}" "${reference[@]}" || fail "$2: the take is not what was played"
}

# --- the seconds before Record ---

play
configure before 'Pre-record Seconds=5'
start
listening "Listening: the last 5 s before Record are kept\\."
witness
# Longer than the ring holds, so that it has gone round.
at "$listening_since" 9
pauses=()
record_at="$(now)"
"$bin" --command record
recorded 6.5
stop_at="$(now)"
xdotool key F11
# The next take keeps from half a second after this Stop on: its witness starts at once.
witnessed
witness
check before.wav "trelvik --command record after 9 s of listening" 80

# The stream goes on listening from the Stop: a take by hot key with a pause, 5.5 s after it, has
# its 5 s before Record whole.
first_stop="$stop_at"
listening "Listening: the last 5 s before Record are kept\\."
at "$first_stop" 5.5
record_at="$(now)"
xdotool key F9
recorded 6.2
pauses=(--pause "$(now)")
xdotool key F10
hold_pause "$work/rec" 1 "$bytes_per_second"
pauses+=(--resume "$(now)")
xdotool key F10
recorded 7.4
stop_at="$(now)"
xdotool key F11
witnessed
check before_1.wav "hot key F9 5.5 s after the Stop before, with a pause" 30

# The timer's start, 7 s after it is set: its moment is the one it was set for.
listening "Listening: the last 5 s before Record are kept\\."
witness
set_at="$(now)"
"$bin" --command record-after:7s+stop-after:3s || fail "the timer was not set"
record_at="$(awk -v s="$set_at" 'BEGIN { printf "%.6f", s + 7 }')"
for _ in $(seq 200); do [ -s "$work/rec/before_2.wav" ] && break; sleep 0.1; done
stop_at="$(awk -v s="$record_at" 'BEGIN { printf "%.6f", s + 3 }')"
pauses=()
witnessed
check before_2.wav "the timer's start 7 s after it was set" 150

# The source goes and comes back: the program listens again by itself, and the Record button, 6 s
# later, takes the 5 s before it.
stop_playing
module="$(pactl list short modules | awk '$2 == "module-null-sink" && /sink_name=trelvik_sink/ { print $1; exit }')"
[ -n "$module" ] || fail "the null sink's module is not listed"
pactl unload-module "$module"
for _ in $(seq 100); do pactl list short sources | grep -q "trelvik_sink.monitor" || break; sleep 0.05; done
pactl load-module module-null-sink sink_name=trelvik_sink rate=44100 format=s16le channels=2 >/dev/null
trelvik_env_set_defaults || fail "the null sink did not become the default again"
play
witness
# While the source is gone the program listens to the server's stand-in (its null source) and says
# it listens; the user's 6 s count from when it listens to the source that came back.
trelvik_env_until listens_to "$sink.monitor" || fail "the program does not listen to $sink.monitor again"
listening "Listening: the last 5 s before Record are kept\\."
button_at="$(a11y --window Trelvik where "push button" "Record F9")" || fail "the Record button is not on the bus"
at "$listening_since" 6
record_at="$(now)"
xdotool mousemove $button_at click 1
recorded 6.2
stop_at="$(now)"
xdotool key F11
pauses=()
witnessed
check before_3.wav "the Record button 6 s after the source came back" 30
quit

# --- takes that sound starts ---

# The bursts: 0.7 s of the signal, then 2.8 s of silence, over again.
burst_on=30870
burst_period=154350
# Waits until the sink plays the silence between bursts with at least 1.5 s of it to go, so that the
# first take armed starts at a burst's beginning, not amid one.
between_bursts() {
    local log="${logs[1]}"
    for _ in $(seq 200); do
        tail -n 1 "$log" | awk -v first="$((first_frame - 100000000))" -v on="$burst_on" -v period="$burst_period" '
            { phase = ($2 - first) % period; exit !(phase > on + 4410 && phase < period - 66150) }' && return 0
        sleep 0.05
    done
    fail "the bursts do not play"
}

play --bursts 700:2800
configure sound $'Pre-record Seconds=1\nSound Threshold=-20\nSound Hang Seconds=1\nSound Takes=Files'
start
listening "Listening: the last 1 s before Record are kept\\."
at "$listening_since" 1.3
between_bursts
witness
"$bin" --command arm || fail "arm was refused"
[ "$("$bin" --command status)" = armed ] || fail "status does not say armed"
listening "Armed for sound above -20 dBFS, keeping the 1 s before it\\."
for _ in $(seq 300); do [ -s "$work/rec/sound_2.wav" ] && break; sleep 0.1; done
[ -s "$work/rec/sound_2.wav" ] || fail "three bursts did not make three files: $(ls "$work/rec")"
witnessed
"$bin" --command disarm
a11y --window Trelvik wait "push button" "Record F9" --enabled >/dev/null || fail "Record is not enabled again"
[ "$("$bin" --command status)" = idle ] || fail "status does not say idle once disarmed"
for file in sound.wav sound_1.wav sound_2.wav; do
    echo "--- $file, a file for each sound ($kind)"
    "$tools/take_check" --take "$work/rec/$file" "${logs[@]}" --sound-at-ms 1000 "${reference[@]}" ||
        fail "$file does not hold its burst whole 1 s in"
done
quit

# Bursts 2 dB under the threshold, and an offset of half the full scale that steps in and stays,
# start nothing; bursts 2 dB above it do.
configure level $'Sound Threshold=-20\nSound Hang Seconds=0.5\nSound Takes=Files'
start
"$bin" --command arm || fail "arm was refused"
level_file=level.wav
level_takes=0
quiet_for() { # seconds what [--or-broken-offset]
    local until_at
    until_at="$(awk -v n="$(now)" -v d="$1" 'BEGIN { printf "%.3f", n + d }')"
    while awk -v n="$(now)" -v u="$until_at" 'BEGIN { exit !(n < u) }'; do
        if [ "$("$bin" --command status)" != armed ] || [ -e "$work/rec/$level_file" ]; then
            [ "${3:-}" = --or-broken-offset ] && broken_offset && return 1
            fail "$2 started a take: $(a11y --window Trelvik text text Status)"
        fi
        sleep 0.2
    done
}
# Whether the take the offset started holds a break in it: on a busy machine PipeWire now and then
# plays a cycle of silence in place of what the player gave, and the steps down and up again are a
# click, which is sound. The take is then set aside.
take_saved() { [ "$("$bin" --command status)" = armed ] && [ -s "$work/rec/$level_file" ]; }
broken_offset() {
    trelvik_env_until take_saved || return 1
    /usr/bin/python3 - "$work/rec/$level_file" <<'PY' || return 1
import struct, sys, wave
with wave.open(sys.argv[1]) as w:
    data = w.readframes(w.getnframes())
samples = struct.unpack("<%dh" % (len(data) // 2), data)
# A break comes after the offset: a take that begins before the offset steps in and holds it from
# then on was started by the step, which is no break.
steady = [abs(s - 16384) <= 2 for s in samples]
first = steady.index(True) if True in steady else len(steady)
breaks = steady[first:].count(False)
print("the take the offset started: %d samples, %d of them not the offset after it began" % (len(samples), breaks))
sys.exit(0 if breaks >= 64 else 1)
PY
    echo "the server broke the offset with silence, a click that rightly started a take; played again"
    rm -f "$work/rec/$level_file"
    # The program numbers its takes on: the next one is the next name, though this one is gone.
    level_takes=$((level_takes + 1))
    level_file="level_$level_takes.wav"
}
play --bursts 300:400 --gain-db -22
quiet_for 4 "bursts 2 dB under the threshold"
play --dc 0.5 --gain-db -100
for attempt in 1 2 3 4; do
    [ "$attempt" -lt 4 ] || fail "the server broke the offset three times"
    quiet_for 3 "an offset of half the full scale" --or-broken-offset && break
done
play --bursts 300:400 --gain-db -18
for _ in $(seq 100); do [ "$("$bin" --command status)" = recording ] && break; sleep 0.1; done
[ "$("$bin" --command status)" = recording ] || fail "bursts 2 dB over the threshold started no take"
"$bin" --command disarm+stop
[ -s "$work/rec/$level_file" ] || fail "the take bursts 2 dB over the threshold started was not saved"
quit
play --bursts 700:2800

configure paused $'Pre-record Seconds=1\nSound Threshold=-20\nSound Hang Seconds=1\nSound Takes=Pauses'
start
listening "Listening: the last 1 s before Record are kept\\."
at "$listening_since" 1.3
between_bursts
witness
"$bin" --command arm || fail "arm was refused"
a11y --window Trelvik --timeout 20 wait "push button" "Resume F10" >/dev/null || fail "the first burst's take did not pause"
a11y --window Trelvik --timeout 20 wait "push button" "Pause F10" --enabled >/dev/null || fail "the second burst did not resume it"
a11y --window Trelvik --timeout 20 wait "push button" "Resume F10" >/dev/null || fail "the second burst's part did not pause"
xdotool key F11
for _ in $(seq 100); do [ -s "$work/rec/paused.wav" ] && break; sleep 0.1; done
witnessed
echo "--- paused.wav, one take with pauses ($kind)"
"$tools/take_check" --take "$work/rec/paused.wav" "${logs[@]}" --sound-at-ms 1000 --bursts 2 "${reference[@]}" ||
    fail "paused.wav does not hold the two bursts"
"$bin" --command disarm
quit
echo PASS
