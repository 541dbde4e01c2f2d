#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The timer set from the command line of the real program: a take set to start 5 s ahead and stop
# after 3 s starts within half a second of its time and lasts 3 s within 0.1 s; "status" says
# "armed" while it waits; a timer can be cancelled; values that cannot be set are refused with
# exit status 2 and arm nothing. A stand-in logind on a private system bus sees the machine kept
# awake exactly while a timer waits or records, and a stand-in notification service hears that the
# timed take started and finished, with its file.
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
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
command() { "$bin" --command "$@"; }
now() { date +%s.%N; }

bus="$(trelvik_private_bus)" || fail "no session bus"
export DBUS_SESSION_BUS_ADDRESS="$(sed -n 1p <<<"$bus")"
others+=("$(sed -n 2p <<<"$bus")")
bus="$(trelvik_private_bus)" || fail "no system bus"
export DBUS_SYSTEM_BUS_ADDRESS="$(sed -n 1p <<<"$bus")"
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

sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 60 sine 440 vol 0.5
paplay --device="$sink" "$work/tone.wav" &
others+=($!)
mkdir -p "$work/home" "$work/rec"
printf '[Config]\nRecording Source=1\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/rec/take.wav" >"$work/home/Config.ini"
"$bin" --home "$work/home" &
pid=$!
main="$(window Trelvik)" || fail "the window did not appear"
trelvik_env_until eval '[ "$(command status 2>/dev/null)" = "idle" ]' || true
[ "$(command status)" = "idle" ] || fail "status of a fresh program: $(command status)"

# Values that cannot be set: exit status 2, a reason, nothing armed.
for words in record-at:25:00 stop-after:0s stop-after:ten record-at:12:00+stop-at-size:lots \
    stop-after:1m+stop-after:2m; do
    status=0
    error="$(command "$words" 2>&1 >/dev/null)" || status=$?
    [ "$status" -eq 2 ] && [ -n "$error" ] || fail "$words: exit $status, \"$error\""
    [ "$(command status)" = "idle" ] || fail "$words armed a timer"
done

[ "$(inhibits)" = 0 ] || fail "the machine was kept awake with no timer set"

# Armed, then cancelled: nothing records; the machine is kept awake meanwhile, and let go.
command record-after:1h
[ "$(command status)" = "armed" ] || fail "a timer set for later is not armed: $(command status)"
trelvik_env_until eval '[ "$(inhibits)" = 1 ]' || true
[ "$(inhibits)" = 1 ] || fail "an armed timer does not keep the machine awake: $(cat "$work/logind.log")"
grep -q '"what": "sleep:idle".*"mode": "block"' "$work/logind.log" || fail "the inhibitor is not sleep:idle, block"
command cancel-timer
[ "$(command status)" = "idle" ] || fail "cancel-timer left $(command status)"
trelvik_env_until eval '[ "$(releases)" = 1 ]' || true
[ "$(releases)" = 1 ] || fail "the cancelled timer still keeps the machine awake"

# Five seconds ahead, for three seconds; the moment it starts is watched from outside.
target="$(date -d '+5 seconds' +%H:%M:%S)"
target_epoch="$(date -d "today $target" +%s)"
command "record-at:$target+stop-after:3s"
[ "$(command status)" = "armed" ] || fail "the timer is not armed: $(command status)"
started=
while [ -z "$started" ]; do
    [ "$(command status)" = "recording" ] && started="$(now)"
    awk -v n="$(now)" -v t="$target_epoch" 'BEGIN { exit !(n > t + 5) }' && break
    sleep 0.05
done
[ -n "$started" ] || fail "the timed take did not start by 5 s after $target"
# The machine goes to sleep and wakes up during the take: what was recorded goes to the disk first,
# and the take goes on.
sleep_and_wake() {
    local before
    for before in true false; do
        gdbus call --system --dest org.freedesktop.login1 --object-path /org/freedesktop/login1 \
            --method org.trelvik.TestLogind.Sleep "$before" >/dev/null || fail "the stand-in logind did not sleep"
    done
}
sleep_and_wake
awk -v s="$started" -v t="$target_epoch" 'BEGIN { d = s - t; exit !(d > -0.5 && d < 0.5) }' ||
    fail "the timed take started $(awk -v s="$started" -v t="$target_epoch" 'BEGIN { print s - t }') s from its time"
trelvik_env_until eval '[ -s "$work/rec/take.wav" ]' || true
[ -s "$work/rec/take.wav" ] || fail "the timed take was not saved"
trelvik_env_until eval '[ "$(command status)" = "idle" ]' || true
[ "$(command status)" = "idle" ] || fail "after the timed take the state is $(command status)"
duration="$(soxi -D "$work/rec/take.wav")"
echo "timed take: started $(awk -v s="$started" -v t="$target_epoch" 'BEGIN { print s - t }') s from $target, lasts $duration s"
awk -v d="$duration" 'BEGIN { exit !(d > 2.9 && d < 3.1) }' || fail "the timed take lasts $duration s, not 3 s"
rms="$(sox "$work/rec/take.wav" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }')"
awk -v r="$rms" 'BEGIN { exit !(r > 0.05) }' || fail "the timed take is silent (RMS $rms)"
trelvik_env_until eval '[ "$(releases)" = 2 ]' || true
[ "$(inhibits)" = 2 ] && [ "$(releases)" = 2 ] || fail "the machine is not let go after the timed take: $(cat "$work/logind.log")"
trelvik_env_until eval 'grep -q "Timed recording finished" "$work/notifications.log"' || true
grep -q '"summary": "Timed recording started"' "$work/notifications.log" &&
    grep -q "\"summary\": \"Timed recording finished\", \"body\": \"[^\"]*/take.wav\"" "$work/notifications.log" &&
    grep -q '"desktop-entry": "org.trelvik.Trelvik"' "$work/notifications.log" ||
    fail "the notifications are not what the timer did: $(cat "$work/notifications.log")"

close_window "$main"
ends_with 0
echo PASS
