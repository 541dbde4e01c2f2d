#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A take saved as FLAC, Ogg Vorbis, Opus or MP3 when the recording ends by itself, with the real
# program and the real sound server:
#   - the source goes: the null sink whose monitor records is unloaded 2 s into a take started by
#     "trelvik --command record". The status line says the source is gone and names the file kept in
#     the chosen format; that file decodes and holds the seconds recorded before (as FLAC, the
#     played signal frame for frame up to the unload, beside a witness that recorded the same
#     source), nothing is left beside it, and the list shows it;
#   - the disk fills: a take by hot key on a tmpfs of 1 MiB. The status line says the disk is full,
#     how long the kept file is and where it is; that file is there, readable, holds the length it
#     is said to hold and the signal's level (on PulseAudio the signal frame for frame from Record
#     on), and nothing else is left on that disk.
# The test runs in a world of its own (tools/test_env.sh) with the sound server test.sh chose. It
# mounts the tmpfs itself, and is skipped after the first part where it cannot.
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
module=
mounted=
cleanup() {
    set +e
    # The program goes first, and is waited for, so that nothing holds the small disk open.
    [ -n "$pid" ] && { kill -9 "$pid"; wait "$pid"; } 2>/dev/null
    [ -n "$player" ] && kill "$player" 2>/dev/null
    witness_stop
    [ -n "$module" ] && pactl unload-module "$module" 2>/dev/null
    [ -n "$mounted" ] && { umount "$mounted" || umount -l "$mounted"; }
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
ahead_servers
mkdir -p "$work/home" "$work/small"
bytes_per_second=$((44100 * 4))

configure() { # file-without-extension save-format source
    printf '[Config]\nRecording Source=1\nRecording Source Name=%s\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=44100\nSave Position=%s.wav\nSave Format=%s\n' \
        "$3" "$1" "$2" >"$work/home/Config.ini"
}
# The status line once it matches an extended regular expression, waiting up to this many seconds.
# A text too long for the line shows its path shortened; a screen reader has it whole as the line's
# description then. The text is read first: a description read after it is never older.
status_matching() { # regex seconds
    local said='' whole=''
    for _ in $(seq $(($2 * 5))); do
        said="$(a11y --window Trelvik --timeout 1 text text Status 2>/dev/null)" || said=
        whole="$(a11y --window Trelvik --timeout 1 description text Status 2>/dev/null)" || whole=
        [ -n "$whole" ] && said="$whole"
        [[ $said =~ $1 ]] && { echo "$said"; return 0; }
        sleep 0.2
    done
    fail "the status line does not say /$1/ after $2 s: '$said'"
}
# "RATE CHANNELS FRAMES LEVEL-DBFS" of a file libsndfile decodes; fails when it does not.
decoded() { # file situation
    local info
    info="$("$tools/take_check" --info "$1")" || fail "$2: $1 does not decode"
    echo "$info"
}
# The container a file really is, by its content, not its name.
container_of() { # file
    case "$(file -b "$1")" in
        FLAC*) echo flac ;;
        *Ogg*Vorbis*) echo ogg ;;
        *Ogg*Opus*) echo opus ;;
        *MPEG*layer\ III* | *ID3*) echo mp3 ;;
        RIFF*WAVE*) echo wav ;;
        *) file -b "$1" ;;
    esac
}
# Files left in a folder beside the one expected.
only_file() { # folder name situation
    local left
    left="$(find "$1" -mindepth 1 ! -name "$2" -printf '%f ')"
    [ -z "$left" ] || fail "$3: beside $2 there is left: $left"
}
# The list's item for a path, by the program's 01 numbering of this session's takes.
listed() { # name situation
    a11y --window Trelvik wait "list item" "~01 .*/${1//./\\.}" >/dev/null || fail "$2: $1 is not in the list"
}
# How much of the start the source did not deliver, in ms, as the status line says while it records.
missed_ms() {
    { a11y --window Trelvik text text Status || true; } |
        sed -n 's/.* first \([0-9][0-9.,]*\) s after Record are missing.*/\1/p' | tr , . |
        awk '{ m = $1 * 1000 } END { printf "%d\n", m }'
}
# The length the status line gives (m:ss, whole seconds) against the frames a file holds.
length_fits() { # shown-seconds frames rate slack situation
    awk -v s="$1" -v f="$2" -v r="$3" -v k="$4" 'BEGIN { d = f / r; exit !(f > 0 && s <= d + k && s + 1 > d - k) }' ||
        fail "$5: the status line says $1 s, the file holds $2 frames at $3 Hz"
}

# --- the source goes ---

formats=("FLAC:flac" "Ogg Vorbis:ogg" "Opus:opus" "MP3:mp3")
for choice in "${formats[@]}"; do
    format="${choice%:*}" ext="${choice#*:}"
    situation="$format, the source gone ($kind)"
    module="$(pactl load-module module-null-sink sink_name=trelvik_faults rate=44100 format=s16le channels=2)" ||
        fail "no null sink of the test's own"
    for _ in $(seq 100); do pactl list short sources | grep -q 'trelvik_faults\.monitor' && break; sleep 0.05; done
    play_signal trelvik_faults 44100 2 16
    folder="$work/gone-$ext"
    mkdir -p "$folder"
    configure "$folder/take" "$format" trelvik_faults.monitor
    # The FLAC take is compared frame for frame: a witness tells a stretch the server dropped for
    # every client from one the program lost.
    reference=()
    [ "$ext" = flac ] && witness_start trelvik_faults.monitor 44100 2 16 "$work/reference-gone.raw"
    start
    for _ in $(seq 100); do [ "$("$bin" --command status 2>/dev/null)" = idle ] && break; sleep 0.05; done
    at "$shown" 1
    record_at="$(now)"
    "$bin" --command record || fail "$situation: record was refused"
    wait_recorded "$folder" 2 "$bytes_per_second"
    missed="$(missed_ms)"
    # What the player reported up to the unload: after it, its stream may be moved to another sink.
    cp "${logs[1]}" "$work/before-gone.log"
    gone_at="$(now)"
    pactl unload-module "$module"
    module=
    stop_playing
    # The witness ends with its source; what it heard up to then stays in its file.
    witness_stop
    [ -s "$work/reference-gone.raw" ] && reference=(--reference "$work/reference-gone.raw")
    said="$(status_matching '^Recording stopped: the source is gone\. ' 15)"
    a11y --window Trelvik wait "push button" "Record F9" --enabled >/dev/null || fail "$situation: Record is not enabled again"
    file="$folder/take.$ext"
    [ -s "$file" ] || fail "$situation: $file is not there; the status line says: $said"
    shown="$(sed -nE 's/^Recording stopped: the source is gone\. ([0-9]+):([0-9]{2}) kept in .*/\1 \2/p' <<<"$said" |
        awk '{ print $1 * 60 + $2 }')"
    [ -n "$shown" ] && [ "$said" = "Recording stopped: the source is gone. $(printf '%d:%02d' $((shown / 60)) $((shown % 60))) kept in $(realpath "$file")" ] ||
        fail "$situation: the status line says '$said'"
    [ "$(container_of "$file")" = "$ext" ] || fail "$situation: $file is $(file -b "$file")"
    only_file "$folder" "take.$ext" "$situation"
    listed "take.$ext" "$situation"
    read -r rate channels frames level <<<"$(decoded "$file" "$situation")"
    echo "--- $situation: $said; $rate Hz, $channels channels, $frames frames, $level dBFS;" \
        "$(awk -v f="$frames" -v r="$rate" -v a="$record_at" -v b="$gone_at" -v m="$missed" \
            'BEGIN { printf "%+.3f", f / r - (b - a - m / 1000) }') s against the time from Record to the unload"
    # Opus is always decoded at 48000 Hz.
    [ "$rate" = "$([ "$ext" = opus ] && echo 48000 || echo 44100)" ] && [ "$channels" = 2 ] ||
        fail "$situation: $file is $rate Hz, $channels channels"
    if [ "$ext" = flac ]; then
        length_fits "$shown" "$frames" "$rate" 0 "$situation"
        # Up to the unload, within the command's way through D-Bus at the start and pactl's at the end.
        # What the server held for the program when the sink went, up to a handover of 50 ms, goes
        # with it: PipeWire's Pulse server hands none of it over.
        "$tools/take_check" --take "$file" --log "$work/before-gone.log" --record "$record_at" \
            --stop "$(awk -v g="$gone_at" 'BEGIN { printf "%.6f", g - 0.05 }')" --missed-ms "$missed" --slack-ms 120 "${reference[@]}" ||
            fail "$situation: the take is not what was played up to the unload"
    else
        length_fits "$shown" "$frames" "$rate" 0.15 "$situation"
        awk -v f="$frames" -v r="$rate" -v a="$record_at" -v b="$gone_at" -v m="$missed" \
            'BEGIN { d = f / r - (b - a - m / 1000); exit !(d > -0.15 && d < 0.15) }' ||
            fail "$situation: $frames frames at $rate Hz for $(awk -v a="$record_at" -v b="$gone_at" 'BEGIN { print b - a }') s from Record to the unload, $missed ms missed"
        awk -v l="$level" 'BEGIN { exit !(l > -20) }' || fail "$situation: the take is silent ($level dBFS)"
    fi
    quit
done

# --- the disk fills ---

mount -t tmpfs -o size=1m tmpfs "$work/small" 2>/dev/null ||
    { echo "SKIP: a tmpfs cannot be mounted here, so the full disk is not tried (the source gone passed)"; exit 77; }
mounted="$work/small"
play_signal "$TRELVIK_TEST_SINK" 44100 2 16
for choice in "${formats[@]}"; do
    format="${choice%:*}" ext="${choice#*:}"
    situation="$format, the disk full ($kind)"
    find "$work/small" -mindepth 1 -delete
    configure "$work/small/full-$ext" "$format" "$TRELVIK_TEST_SINK.monitor"
    start
    at "$shown" 1
    record_at="$(now)"
    xdotool key F9
    wait_recorded "$work/small" 1.5 "$bytes_per_second"
    missed="$(missed_ms)"
    said="$(status_matching '^Recording stopped: the disk is full\. ' 30)"
    a11y --window Trelvik wait "push button" "Record F9" --enabled >/dev/null || fail "$situation: Record is not enabled again"
    # What the status line claims is kept, and where: the wave file, since the copy was not finished.
    claimed="$(sed -nE 's/^Recording stopped: the disk is full\. [0-9]+:[0-9]{2} kept in (.*) It was not saved as .*/\1/p' <<<"$said")"
    shown="$(sed -nE 's/^Recording stopped: the disk is full\. ([0-9]+):([0-9]{2}) kept in .*/\1 \2/p' <<<"$said" |
        awk '{ print $1 * 60 + $2 }')"
    [ -n "$claimed" ] && [ -n "$shown" ] || fail "$situation: the status line says '$said'"
    [ -e "$claimed" ] || fail "$situation: the status line claims $claimed, which is not there; on the disk: $(ls "$work/small")"
    wave="$(realpath "$work/small/full-$ext.wav")"
    # Why the copy was not finished is said when its own write failed first.
    said_before="Recording stopped: the disk is full. $(printf '%d:%02d' $((shown / 60)) $((shown % 60))) kept in $wave It was not saved as $format"
    [ "$said" = "$said_before." ] ||
        [ "$said" = "$said_before: cannot write full-$ext.$ext: No space left on device." ] ||
        fail "$situation: the status line says '$said'"
    [ "$(container_of "$claimed")" = wav ] || fail "$situation: $claimed is $(file -b "$claimed")"
    only_file "$work/small" "full-$ext.wav" "$situation"
    listed "full-$ext.wav" "$situation"
    read -r rate channels frames level <<<"$(decoded "$claimed" "$situation")"
    echo "--- $situation: $said; $rate Hz, $channels channels, $frames frames, $level dBFS"
    [ "$rate" = 44100 ] && [ "$channels" = 2 ] || fail "$situation: $claimed is $rate Hz, $channels channels"
    length_fits "$shown" "$frames" "$rate" 0 "$situation"
    # The disk took the wave file's header and at least a second of audio, and the whole file is the
    # audio its header says: what the disk held is in it.
    awk -v f="$frames" -v s="$(stat -c %s "$claimed")" 'BEGIN { exit !(f >= 44100 && s - 44 - f * 4 < 4096) }' ||
        fail "$situation: $claimed holds $frames frames in $(stat -c %s "$claimed") bytes"
    # What it holds is the signal heard from Record on, frame for frame, without a gap: it ends where
    # the disk filled, so its end is taken as the moment its length reached. On PipeWire the sink's
    # monitor here gives a quantum of silence in place of the signal now and then, in a capture of
    # its own beside the program's too; over these 3 to 6 s it would fail the test a time in three.
    if [ "$kind" != pipewire ]; then
        stop_at="$(awk -v a="$record_at" -v m="$missed" -v f="$frames" 'BEGIN { printf "%.6f", a + m / 1000 + f / 44100 }')"
        "$tools/take_check" --take "$claimed" "${logs[@]}" --record "$record_at" --stop "$stop_at" \
            --missed-ms "$missed" --slack-ms 30 || fail "$situation: $claimed is not the signal played from Record on"
    fi
    quit
done
stop_playing
echo PASS
