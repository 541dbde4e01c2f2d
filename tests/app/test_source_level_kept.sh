#!/usr/bin/env bash
# The real program and the real sound server: a Config.ini without a readable recording level (no
# key, an empty value, a broken file) and a first run whose wizard is closed before its end leave
# the source's level as the user set it, for every program, also after Trelvik has ended. A stored
# level is still applied, also behind a byte-order mark.
set -euo pipefail
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
need_sound_server
source="${TRELVIK_TEST_SINK:-$(pactl get-default-sink)}.monitor"
bin="$TRELVIK_BIN_DIR/trelvik"
work="$(mktemp -d)"
pid=
previous="$(pactl get-default-source)"
cleanup() {
    [ -z "$pid" ] || kill -9 "$pid" 2>/dev/null || true
    pactl set-source-volume "$source" 100% || true
    pactl set-default-source "$previous" || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
level() { pactl get-source-volume "$source" | awk 'NR == 1 { print $5 }'; }

pactl set-default-source "$source"

# Runs the program in home until it is connected to the sound server, then ends it as logging out
# would (the same shutdown as the close box).
run_once() { # home
    QT_QPA_PLATFORM=offscreen "$bin" --home "$1" >"$work/out.log" 2>&1 &
    pid=$!
    for _ in $(seq 500); do
        pactl list clients 2>/dev/null | grep -q 'application.name = "Trelvik"' && break
        kill -0 "$pid" 2>/dev/null || fail "the program ended by itself: $(cat "$work/out.log")"
        sleep 0.02
    done
    pactl list clients | grep -q 'application.name = "Trelvik"' || fail "the program never connected"
    kill -TERM "$pid"
    ends_with 0
}

case_number=0
check_kept() { # description config-bytes (printf format; empty: no Config.ini at all)
    case_number=$((case_number + 1))
    local home="$work/home$case_number"
    mkdir -p "$home"
    [ -z "$2" ] || printf "$2" >"$home/Config.ini"
    pactl set-source-volume "$source" 40%
    run_once "$home"
    [ "$(level)" = "40%" ] || fail "$1: the source's level is $(level) after the program ended, not 40%"
}

check_kept "no Recording Volume key" '[Config]\nRecording Source=1\nChannels=2\n'
check_kept "an empty Recording Volume" '[Config]\nRecording Source=1\nRecording Volume=\n'
check_kept "a value that is no number" '[Config]\nRecording Volume=loud\n'
check_kept "a broken file" '\x00\x01\xff garbage [Con\n=\n\x89PNG\n'
check_kept "a byte-order mark and no level" '\xef\xbb\xbf[Config]\r\nRecording Source=1\r\n'
check_kept "a first run ended before the wizard did" ''
# It stored the source's own level, and the next start, a normal one, leaves it there.
grep -qx 'Recording Volume=26214' "$work/home$case_number/Config.ini" ||
    fail "the ended first run stored $(cat "$work/home$case_number/Config.ini")"
run_once "$work/home$case_number"
[ "$(level)" = "40%" ] || fail "the start after the ended first run set the source to $(level), not 40%"

# A level the user stored is applied.
mkdir -p "$work/stored"
printf '[Config]\nRecording Source=1\nRecording Volume=32768\n' >"$work/stored/Config.ini"
pactl set-source-volume "$source" 40%
run_once "$work/stored"
[ "$(level)" = "50%" ] || fail "the stored level 32768 was not applied: the source is at $(level)"
# Also from a file an editor saved with a byte-order mark in front.
mkdir -p "$work/bom"
printf '\xef\xbb\xbf[Config]\r\nRecording Source=1\r\nRecording Volume=32768\r\n' >"$work/bom/Config.ini"
pactl set-source-volume "$source" 40%
run_once "$work/bom"
[ "$(level)" = "50%" ] || fail "the level 32768 stored behind a byte-order mark was not applied: the source is at $(level)"
# A logout that comes as soon as the program has reached the sound server, while its window is still
# being built, ends it as the close box does (exit status 0), never by the signal's default.
for round in $(seq 6); do
    mkdir -p "$work/early$round"
    run_once "$work/early$round"
done
echo PASS
