#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# take_check, on takes that sound started: a cycle that reaches the take with a channel missing (as
# PipeWire delivers one now and then on a busy machine) fails the take, unless the witness recorded
# the same cycle so at the same place in the signal; then the burst goes on over it. The takes are
# cut from a real recording of bursts played into the test world's null sink.
set -euo pipefail
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
need_sound_server
. "$TRELVIK_SOURCE_DIR/tools/test_env.sh"
kind="${TRELVIK_TEST_SERVER:-pulseaudio}"
tools="$TRELVIK_TESTS_BIN_DIR"
work="$(mktemp -d)"
player=
recorder=
cleanup() {
    set +e
    [ -n "$player" ] && kill "$player" 2>/dev/null
    [ -n "$recorder" ] && kill "$recorder" 2>/dev/null
    trelvik_env_stop
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}

trelvik_env_start "$kind" || fail "a world of the test's own with $kind did not start"
sink="$TRELVIK_TEST_SINK"
"$tools/signal_player" --device "$sink" --rate 44100 --channels 2 --bits 16 --first-frame 100000000 \
    --log "$work/player.log" --bursts 700:2800 2>"$work/player.err" &
player=$!
parec --raw --device="$sink.monitor" --rate=44100 --channels=2 --format=s16le --latency-msec=50 >"$work/heard.raw" &
recorder=$!
# Two periods of the bursts and a little more: a burst after a whole stretch of silence is in it.
trelvik_env_until eval '[ "$(stat -c %s "$work/heard.raw")" -gt $((44100 * 4 * 8)) ]' ||
    fail "the monitor did not record 8 s: $(cat "$work/player.err")"
kill "$recorder"
wait "$recorder" 2>/dev/null || true
recorder=

# The take: 1 s before a burst to 0.5 s after it. The glitch: 1024 frames 0.2 s into the burst
# without their second channel.
python3 - "$work" <<'PY' || fail "no burst after 1.5 s of silence in what the monitor heard"
import array, sys, wave
work = sys.argv[1]
heard = array.array("h")
heard.frombytes(open(work + "/heard.raw", "rb").read())
frames = len(heard) // 2
silent, start = 0, None
for i in range(frames):
    if heard[2 * i] == 0 and heard[2 * i + 1] == 0:
        silent += 1
        continue
    if silent >= 66150 and i + 30870 + 22050 <= frames:
        start = i
        break
    silent = 0
if start is None:
    sys.exit(1)
glitched = array.array("h", heard)
for i in range(start + 8820, start + 8820 + 1024):
    glitched[2 * i + 1] = 0
open(work + "/heard-glitched.raw", "wb").write(glitched.tobytes())
for name, samples in (("take.wav", heard), ("take-glitched.wav", glitched)):
    with wave.open(work + "/" + name, "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(44100)
        out.writeframes(samples[2 * (start - 44100):2 * (start + 30870 + 22050)].tobytes())
PY

check() { # take reference(- for none) expected(pass|fail) situation
    local reference=() got
    [ "$2" != - ] && reference=(--reference "$work/$2")
    if "$tools/take_check" --take "$work/$1" --log "$work/player.log" --sound-at-ms 1000 "${reference[@]}" \
        >"$work/check.out" 2>&1; then got=pass; else got=fail; fi
    echo "--- $4 ($kind): $got"
    cat "$work/check.out"
    [ "$got" = "$3" ] || fail "$4: take_check says $got, not $3"
}
check take.wav heard.raw pass "the burst as heard"
check take-glitched.wav - fail "a cycle with a channel missing, no witness"
check take-glitched.wav heard.raw fail "a cycle with a channel missing that the witness heard whole"
check take-glitched.wav heard-glitched.raw pass "a cycle with a channel missing, the witness heard the same"
grep -q "^  goes on: " "$work/check.out" || fail "the burst is not shown going on over the cycle"
echo PASS
