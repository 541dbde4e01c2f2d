#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The timer of the real program when the machine was asleep at its time. The program is frozen
# (SIGSTOP: no code of it runs, as in a suspended machine) from before the start until after it,
# then continued, and a stand-in logind says the machine woke (PrepareForSleep(false)).
# - Woken 7 s after the start of a take set to stop after 10 s: it starts then, says it started
#   7 s late (notification and status line), and still records 10 s of sound.
# - Woken after the stop of a take: nothing is recorded, the take is said to be missed
#   (notification and status line), the timer is off. A stop after a duration closes the take's
#   window at its start plus that duration, as a stop at a time does.
# - Woken after the stop of a daily take: missed, and armed again for the same time tomorrow.
# The machine is kept awake while a timer waits or records and let go when it is off.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
need_sound_server
sink="${TRELVIK_TEST_SINK:-$(pactl get-default-sink)}"
bin="$TRELVIK_BIN_DIR/trelvik"
work="$(mktemp -d)"
pid=
others=()
cleanup() {
    [ -z "$pid" ] || kill -9 "$pid" 2>/dev/null || true
    for p in "${others[@]}"; do kill "$p" 2>/dev/null || true; done
    stop_accessibility
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    echo "--- logind:"; cat "$work/logind.log" 2>/dev/null || true
    echo "--- notifications:"; cat "$work/notifications.log" 2>/dev/null || true
    exit 1
}
command() { "$bin" --command "$@"; }
now() { date +%s.%N; }
before() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }

# The session bus is the accessibility bus's, so the status line can be read; the stand-in
# notification service is on it too. The system bus is one of the test's own, for the stand-in logind.
start_accessibility
bus="$(trelvik_private_bus)" || fail "no system bus"
DBUS_SYSTEM_BUS_ADDRESS="$(sed -n 1p <<<"$bus")"
export DBUS_SYSTEM_BUS_ADDRESS
others+=("$(sed -n 2p <<<"$bus")")
standins="$TRELVIK_SOURCE_DIR/tests/platform"
/usr/bin/python3 "$standins/logind_standin.py" "$work/logind.log" &
others+=($!)
/usr/bin/python3 "$standins/notifications_standin.py" "$work/notifications.log" &
others+=($!)
trelvik_env_until eval 'grep -q ready "$work/logind.log" 2>/dev/null && grep -q ready "$work/notifications.log" 2>/dev/null' || true
grep -q ready "$work/logind.log" && grep -q ready "$work/notifications.log" || fail "the stand-ins did not start"
inhibits() { grep -c '"method": "Inhibit"' "$work/logind.log" || true; }
releases() { grep -c '"method": "released"' "$work/logind.log" || true; }
# Notifications with this summary, one JSON line each.
notes() { grep -F "\"summary\": \"$1\"" "$work/notifications.log" || true; }
note_count() { notes "$1" | wc -l; }
status_line() { a11y --window Trelvik text text Status 2>/dev/null || true; }

# A tone for the whole test, so that a take has sound.
sox -n -r 22050 -c 1 -b 16 "$work/tone.wav" synth 300 sine 440 vol 0.5
paplay --device="$sink" "$work/tone.wav" &
others+=($!)
mkdir -p "$work/home" "$work/rec" "$work/kept"
printf '[Config]\nRecording Source=1\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/rec/take.wav" >"$work/home/Config.ini"
"$bin" --home "$work/home" &
pid=$!
main="$(window Trelvik)" || fail "the window did not appear"
trelvik_env_until eval '[ "$(command status 2>/dev/null)" = "idle" ]' || true
[ "$(command status)" = "idle" ] || fail "status of a fresh program: $(command status)"

# Sets a timer whose start is a few seconds ahead, from words with START and STOP (epoch seconds
# of the moments); returns with the timer armed and the machine kept awake for it.
start_at=
set_timer() { # words-with-START-and-STOP start-epoch stop-epoch
    local words="$1" held
    start_at="$2"
    words="${words//START/$(date -d "@$2" +%H:%M:%S)}"
    words="${words//STOP/$(date -d "@$3" +%H:%M:%S)}"
    held="$(inhibits)"
    command "$words" || fail "$words was refused"
    [ "$(command status)" = "armed" ] || fail "$words: the timer is not armed: $(command status)"
    trelvik_env_until eval '[ "$(inhibits)" -gt "$held" ]' || true
    [ "$(inhibits)" -gt "$held" ] || fail "$words: the armed timer does not keep the machine awake"
    echo "--- $words"
}

# The machine goes to sleep before the start and wakes at the given moment: the program is frozen
# meanwhile, and told of the wake once it runs again.
asleep_until() { # epoch
    gdbus call --system --dest org.freedesktop.login1 --object-path /org/freedesktop/login1 \
        --method org.trelvik.TestLogind.Sleep true >/dev/null || fail "the stand-in logind did not sleep"
    kill -STOP "$pid"
    before "$(now)" "$(awk -v s="$start_at" 'BEGIN { printf "%.3f", s - 0.3 }')" ||
        fail "the program was frozen only after its start time"
    while before "$(now)" "$1"; do sleep 0.1; done
    kill -CONT "$pid"
    gdbus call --system --dest org.freedesktop.login1 --object-path /org/freedesktop/login1 \
        --method org.trelvik.TestLogind.Sleep false >/dev/null || fail "the stand-in logind did not wake"
}

missed_body="Its time passed while the computer was asleep or Trelvik was not running."
missed_line="The timed recording was missed: its time passed while the computer was asleep or Trelvik was not running."

# A take missed while asleep: no sound was recorded, no take started, the notification and the
# status line say it was missed.
check_missed() { # what started-before missed-before
    local what="$1" started="$2" missed="$3"
    trelvik_env_until eval '[ "$(note_count "Timed recording missed")" -gt "$missed" ]' || true
    [ "$(note_count "Timed recording missed")" -gt "$missed" ] || fail "$what: no notification says the take was missed"
    notes "Timed recording missed" | tail -n 1 | grep -qF "\"body\": \"$missed_body\"" ||
        fail "$what: the notification of the missed take is $(notes "Timed recording missed" | tail -n 1)"
    [ "$(note_count "Timed recording started")" = "$started" ] || fail "$what: the missed take was started"
    [ -z "$(ls -A "$work/rec")" ] || fail "$what: the missed take left files: $(ls -A "$work/rec")"
}

# --- Woken 7 s after the start of a take that is to stop after 10 s of sound.
start="$(($(date +%s) + 4))"
set_timer "record-at:START+stop-after:10s" "$start" 0
held="$(inhibits)"
asleep_until "$((start + 7))"
started=
trelvik_env_until eval '[ "$(command status)" = "recording" ]' && started="$(now)"
[ -n "$started" ] || fail "woken 7 s after its start, the timed take did not start: $(command status)"
echo "recording $(awk -v s="$started" -v t="$start" 'BEGIN { print s - t }') s after its start"
trelvik_env_until eval '[ "$(note_count "Timed recording started")" = 1 ]' || true
body="$(notes "Timed recording started" | sed -n 's/.*"body": "\([^"]*\)".*/\1/p')"
late="$(sed -n 's/^\([0-9][0-9]*\) s late: the computer was asleep or busy at its time\.$/\1/p' <<<"$body")"
[ -n "$late" ] || fail "the notification of the late start says \"$body\""
[ "$late" -ge 7 ] && [ "$late" -le 9 ] || fail "woken 7 s after its start, the take says it started $late s late"
late_line="Recording: the timer started it $late s late, the computer was asleep or busy at its time."
seen=
for _ in $(seq 40); do
    seen="$(status_line)"
    [ "$seen" = "$late_line" ] && break
    [ "$(command status)" = "recording" ] || break
    sleep 0.1
done
[ "$seen" = "$late_line" ] || fail "while the late take records, the status line says \"$seen\", not \"$late_line\""
# Ten seconds of sound and its save: polled for up to 30 s.
for _ in $(seq 300); do [ "$(note_count "Timed recording finished")" = 1 ] && break; sleep 0.1; done
[ "$(note_count "Timed recording finished")" = 1 ] || fail "the late take did not finish: $(command status)"
take="$(notes "Timed recording finished" | sed -n 's/.*"body": "\([^"]*\)".*/\1/p')"
[ "$(command status)" = "idle" ] || fail "after the late take the state is $(command status)"
[ -s "$take" ] || fail "the late take's file \"$take\" is not there"
duration="$(soxi -D "$take")"
echo "late take: $take, $duration s"
awk -v d="$duration" 'BEGIN { exit !(d > 9.9 && d < 10.2) }' ||
    fail "the take started 7 s late lasts $duration s, not the 10 s of sound it was set for"
rms="$(sox "$take" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }')"
awk -v r="$rms" 'BEGIN { exit !(r > 0.05) }' || fail "the late take is silent (RMS $rms)"
trelvik_env_until eval '[ "$(releases)" = "$held" ]' || true
[ "$(releases)" = "$held" ] || fail "the machine is not let go after the late take"
[ "$(note_count "Timed recording missed")" = 0 ] || fail "the late take was also said to be missed"
mv "$work/rec/"* "$work/kept/"

# A take missed once and for all: the timer is off, the line says so, the machine is let go.
missed_for_good() { # what started-before missed-before
    check_missed "$@"
    trelvik_env_until eval '[ "$(command status)" = "idle" ]' || true
    [ "$(command status)" = "idle" ] || fail "$1: after the missed take the state is $(command status)"
    trelvik_env_until eval '[ "$(status_line)" = "$missed_line" ]' ||
        fail "$1: after the missed take the status line says \"$(status_line)\""
    trelvik_env_until eval '[ "$(releases)" = "$held" ]' || true
    [ "$(releases)" = "$held" ] || fail "$1: the machine is not let go after the missed take"
}

# --- Woken 2 s after the stop of a take set from its start to a time 2 s later.
start="$(($(date +%s) + 4))"
set_timer "record-at:START+stop-at:STOP" "$start" "$((start + 2))"
held="$(inhibits)"
asleep_until "$((start + 4))"
missed_for_good "stop-at" 1 0

# --- Woken 7 s after the start of a take to stop after 2 s of sound: its window closed at 2 s.
start="$(($(date +%s) + 4))"
set_timer "record-at:START+stop-after:2s" "$start" 0
held="$(inhibits)"
asleep_until "$((start + 7))"
missed_for_good "stop-after" 1 1

# --- A daily take woken after its stop: missed today, armed for the same time tomorrow, and the
# machine still kept awake for it until the timer is cancelled.
start="$(($(date +%s) + 4))"
set_timer "record-at:START+stop-at:STOP+daily" "$start" "$((start + 2))"
held="$(inhibits)"
asleep_until "$((start + 4))"
check_missed "daily" 1 2
[ "$(command status)" = "armed" ] || fail "the missed daily timer is not armed: $(command status)"
# The line says it was missed, and after a while for reading, counts down to tomorrow at the same
# time: a little less than 24 hours ahead (23 or 25 across a change of the clocks tonight).
trelvik_env_until eval '[ "$(status_line)" = "$missed_line" ]' ||
    fail "after the missed daily take the status line says \"$(status_line)\""
tomorrow='^Timer set: recording starts in (22|23|24):59:[0-9]{2}\.$'
for _ in $(seq 200); do [[ "$(status_line)" =~ $tomorrow ]] && break; sleep 0.1; done
[[ "$(status_line)" =~ $tomorrow ]] ||
    fail "the missed daily timer counts down \"$(status_line)\", not to tomorrow's take"
[ "$(releases)" = "$((held - 1))" ] || fail "the machine is let go while the daily timer waits"
command cancel-timer
[ "$(command status)" = "idle" ] || fail "cancel-timer left $(command status)"
trelvik_env_until eval '[ "$(releases)" = "$held" ]' || true
[ "$(releases)" = "$held" ] || fail "the cancelled daily timer still keeps the machine awake"
[ -z "$(ls -A "$work/rec")" ] || fail "files appeared after the daily timer: $(ls -A "$work/rec")"

close_window "$main"
ends_with 0
echo PASS
