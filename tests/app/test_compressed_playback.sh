#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A take saved as FLAC, Ogg Vorbis, Opus or MP3 is played from the list as a user plays it, with the
# real program and the real sound server. For each format the program records about 2 s of a tone
# of that format's own (a different pitch on each channel) from the null sink's monitor; at Stop the
# file is listed. With the tone gone, the user clicks the list item and presses Return, and the
# sink's monitor is recorded with parec until the status line says playback has stopped. What the
# sink played must be the take:
#   - the same pitch on each channel as the take holds (and the tone played for that format), the
#     same level within 1.5 dB, and sound for as long as the take holds sound, within 0.2 s;
#   - as FLAC, the take's frames exactly and in order, with silence before and after them;
#   - nothing said went wrong: the status line goes from "playing" to "Playback has stopped", never
#     to "cannot be played".
# A busy machine may make the sink play a short silence in the middle (see most_dropouts below); the
# sound must go on unchanged after it, where it stopped or as many frames later.
# The test runs in a world of its own (tools/test_env.sh) with the sound server test.sh chose.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
need_sound_server
. "$TRELVIK_SOURCE_DIR/tools/test_env.sh"
kind="${TRELVIK_TEST_SERVER:-pulseaudio}"
bin="$TRELVIK_BIN_DIR/trelvik"
work="$(mktemp -d)"
pid=
tone=
capture=
cleanup() {
    set +e
    [ -n "$pid" ] && { kill -9 "$pid"; wait "$pid"; } 2>/dev/null
    [ -n "$tone" ] && { kill "$tone"; wait "$tone"; } 2>/dev/null
    [ -n "$capture" ] && { kill "$capture"; wait "$capture"; } 2>/dev/null
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
tools="$TRELVIK_TESTS_BIN_DIR"
player=
. "$TRELVIK_SOURCE_DIR/tests/app/played_signal.sh"

trelvik_env_start "$kind" || fail "a world of the test's own with $kind did not start"
start_accessibility
ahead_servers
sink="$TRELVIK_TEST_SINK"
mkdir -p "$work/home" "$work/rec"
bytes_per_second=$((44100 * 4))
# The monitor is recorded with a latency of 20 ms. PulseAudio's null sink renders that far ahead for
# it, and a stream that starts meanwhile is mixed in from the next block on: the monitor never hears
# up to 20 ms of its start, whoever plays it (paplay too), and silence stands in their place. PipeWire
# hears every frame.
monitor_latency_ms=20
unheard=0
[ "$kind" = pulseaudio ] && unheard=$((44100 * monitor_latency_ms / 1000))
# On a busy machine the server now and then finds the program's stream not yet refilled (paplay's
# too, given the same 100 ms buffer) and plays a quantum of silence before going on with it; PipeWire
# may also drop whole cycles of its graph, silence in place of what they held (seen: 3 quanta of
# 512 frames): up to three such dropouts, 0.1 s in all, are reported but pass.
most_dropouts=3

configure() { # take-name save-format
    printf '[Config]\nRecording Source=1\nRecording Source Name=%s\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=44100\nSave Position=%s\nSave Format=%s\n' \
        "$sink.monitor" "$work/rec/$1.wav" "$2" >"$work/home/Config.ini"
}
# What the status line says; a text too long for the line has it whole as its description.
status() {
    local said whole
    said="$(a11y --window Trelvik --timeout 1 text text Status 2>/dev/null)" || said=
    whole="$(a11y --window Trelvik --timeout 1 description text Status 2>/dev/null)" || whole=
    echo "${whole:-$said}"
}
silent() { ! trelvik_env_hears_sound; }
# Bytes the monitor's recording holds so far.
captured() { stat -c %s "$work/played.raw" 2>/dev/null || echo 0; }
grown() { [ "$(captured)" -ge "$1" ]; }

# "FRAMES RATE SOUND-START SOUND-END LEVEL-DBFS LEFT-HZ RIGHT-HZ DROPOUTS DROPOUT-SECONDS" of 16-bit
# stereo audio, a wave file or raw at 44100 Hz. The sound is where a sample passes 1 % of full scale;
# its level is measured there, the pitch of each channel as the median over its tenths of a second
# (upward crossings through a tenth of the peak), and a dropout is a stretch of 2 ms or more in it
# where every sample stays under 0.1 %: a steady tone has none.
measure() { # file
    /usr/bin/python3 - "$1" <<'EOF'
import array, math, statistics, sys, wave
path = sys.argv[1]
if path.endswith(".wav"):
    with wave.open(path) as w:
        assert w.getnchannels() == 2 and w.getsampwidth() == 2, path
        rate, data = w.getframerate(), w.readframes(w.getnframes())
else:
    rate, data = 44100, open(path, "rb").read()
samples = array.array("h")
samples.frombytes(data[: len(data) // 4 * 4])
frames = len(samples) // 2
peak = [max(abs(samples[2 * i]), abs(samples[2 * i + 1])) for i in range(frames)]
loud = [i for i in range(frames) if peak[i] > 328]
if not loud:
    print(frames, rate, 0, 0, -200, 0, 0, 0, 0)
    sys.exit()
first, last = loud[0], loud[-1] + 1
sound = samples[2 * first : 2 * last]
rms = math.sqrt(sum(s * s for s in sound) / len(sound))
dropouts, dropped, run = 0, 0, 0
for i in range(first, last + 1):
    if i < last and peak[i] < 33:
        run += 1
        continue
    if run >= rate // 500:
        dropouts += 1
        dropped += run
    run = 0
pitches = []
window = rate // 10
for channel in (0, 1):
    x = sound[channel::2]
    found = []
    for start in range(0, len(x) - window + 1, window):
        part = x[start : start + window]
        high = max(abs(s) for s in part) / 10
        ups, below = [], False
        for i, s in enumerate(part):
            if s < -high:
                below = True
            elif s > high and below:
                ups.append(i)
                below = False
        if len(ups) > 2:
            found.append((len(ups) - 1) * rate / (ups[-1] - ups[0]))
    pitches.append(statistics.median(found) if found else 0)
print(frames, rate, "%.4f" % (first / rate), "%.4f" % (last / rate), "%.2f" % (20 * math.log10(max(rms, 1e-9) / 32768)),
      "%.1f" % pitches[0], "%.1f" % pitches[1], dropouts, "%.4f" % (dropped / rate))
EOF
}
# Whether the monitor's recording holds a wave file's frames exactly and in order, with only silence
# before and after them. Silence may stand in for at most this many frames at the start that the
# monitor never heard, and may come between frames where the sink ran dry, or stand in for as many
# frames where the server dropped a cycle of its graph (at most so many times, so many frames in
# all). Says where the take was found and what came between, or what differs.
holds_exactly() { # raw wave most-frames-unheard most-dropouts most-dropped-frames
    /usr/bin/python3 - "$@" <<'EOF'
import array, sys, wave
played = array.array("I")  # a stereo frame of 16-bit samples each
raw = open(sys.argv[1], "rb").read()
played.frombytes(raw[: len(raw) // 4 * 4])
take = array.array("I")
with wave.open(sys.argv[2]) as w:
    take.frombytes(w.readframes(w.getnframes()))
most_unheard, most_dropouts, most_dropped = (int(a) for a in sys.argv[3:6])
take_first = next((i for i, f in enumerate(take) if f), None)
played_first = next((i for i, f in enumerate(played) if f), None)
if take_first is None:
    sys.exit("the take is silent")
if played_first is None:
    sys.exit("the sink played silence")
# Where in the take the first sound played comes from: the tone is dithered, so no 64 frames of it
# repeat.
probe = played[played_first : played_first + 64].tobytes()
whole = take.tobytes()
at = whole.find(probe)
while at >= 0 and at % 4:
    at = whole.find(probe, at + 1)
if at < 0:
    sys.exit(f"the first sound played (frame {played_first} of the monitor's recording) is nowhere in the take")
heard_from = at // 4
if heard_from - take_first > most_unheard:
    sys.exit(f"the take was played from its frame {heard_from} on: {heard_from - take_first} frames of its start "
             f"were not heard, more than {most_unheard}")
i, j, dropouts, dropped = played_first, heard_from, [], 0
while j < len(take):
    if i >= len(played):
        sys.exit(f"what was played stops at the take's frame {j} of {len(take)}")
    if played[i] == take[j]:
        i += 1
        j += 1
    elif played[i] == 0:
        start = i
        while i < len(played) and played[i] == 0:
            i += 1
        # After the silence the take goes on where it stopped, or as many frames later.
        n = i - start
        replaced = i < len(played) and played[i] != take[j] and j + n < len(take) and played[i] == take[j + n]
        dropouts.append((j, n, replaced))
        if replaced:
            j += n
    else:
        sys.exit(f"what was played differs from the take at its frame {j} of {len(take)}")
after = played[i:]
if after.count(0) != len(after):
    sys.exit(f"after the take the sink played {len(after) - after.count(0)} frames of sound more")
dropped = sum(n for _, n, _ in dropouts)
said = f"frames {played_first} to {i} of the {len(played)} recorded, from the take's frame {heard_from} on"
if dropouts:
    said += "; silence came between: " + ", ".join(
        f"{n} frames {'in place of' if replaced else 'before'} the take's frame {j}{' on' if replaced else ''}"
        for j, n, replaced in dropouts)
if len(dropouts) > most_dropouts or dropped > most_dropped:
    sys.exit(said)
print(said)
EOF
}
# Whether two figures are within a tolerance of each other.
near() { awk -v a="$1" -v b="$2" -v t="$3" 'BEGIN { d = a - b; exit !(d <= t && -d <= t) }'; }

# Each format with its own tone: a pitch on the left and another on the right, none a simple ratio of
# another, so that a take played in place of another, or with its channels swapped, does not pass.
formats=("FLAC:flac:440:1100" "Ogg Vorbis:ogg:523:1318" "Opus:opus:698:1568" "MP3:mp3:880:1975")
for choice in "${formats[@]}"; do
    IFS=: read -r format ext left right <<<"$choice"
    situation="$format ($kind)"
    name="take-$ext"
    file="$work/rec/$name.$ext"

    # --- the take ---
    sox -n -r 44100 -c 2 -b 16 "$work/tone-$ext.wav" synth 20 sine "$left" sine "$right" vol 0.5 dither
    paplay --device="$sink" "$work/tone-$ext.wav" &
    tone=$!
    ahead "$tone"
    trelvik_env_until trelvik_env_hears_sound || fail "$situation: the tone does not reach $sink"
    configure "$name" "$format"
    start
    xdotool key F9
    wait_recorded "$work/rec" 2.2 "$bytes_per_second"
    xdotool key F11
    a11y --window Trelvik wait "push button" "Record F9" --enabled >/dev/null ||
        fail "$situation: Record is not enabled again: $(status)"
    item=("list item" "~01 .*/${name}\\.${ext}")
    a11y --window Trelvik wait "${item[@]}" >/dev/null || fail "$situation: $name.$ext is not in the list: $(status)"
    trelvik_env_until test -s "$file" || fail "$situation: $file is not there: $(status)"
    echo "--- $situation: at Stop the status line says: $(status)"
    kill "$tone"
    wait "$tone" 2>/dev/null || true
    tone=
    trelvik_env_until silent || fail "$situation: $sink still plays sound with the tone stopped"

    # --- played from the list, the sink's monitor recorded meanwhile ---
    rm -f "$work/played.raw"
    parec --raw --device="$sink.monitor" --format=s16le --rate=44100 --channels=2 --latency-msec="$monitor_latency_ms" \
        >"$work/played.raw" 2>"$work/parec.err" &
    capture=$!
    trelvik_env_until grown 17640 || fail "$situation: the monitor cannot be recorded: $(cat "$work/parec.err")"
    read -r x y <<<"$(a11y --window Trelvik where "${item[@]}")" || fail "$situation: the list item has no place on screen"
    xdotool windowfocus --sync "$main"
    xdotool mousemove "$x" "$y" click 1
    xdotool key Return
    # A take of under 3 s has long played out when 15 s have passed.
    said=
    deadline=$((SECONDS + 15))
    while [ "$SECONDS" -lt "$deadline" ]; do
        said="$(status)"
        case "$said" in
            "Playback has stopped" | *"cannot be played"*) break ;;
        esac
        sleep 0.1
    done
    [ "$said" = "Playback has stopped" ] || fail "$situation: played from the list, the status line says '$said'"
    # A moment of silence after the end, as the monitor hears it.
    trelvik_env_until grown $(($(captured) + bytes_per_second / 2)) || fail "$situation: the monitor's recording stalled"
    kill "$capture"
    wait "$capture" 2>/dev/null || true
    capture=
    # Nothing said afterwards takes it back.
    said="$(status)"
    [ "$said" = "Playback has stopped" ] || fail "$situation: after playing, the status line says '$said'"
    quit

    # --- what the sink played is the take ---
    case "$ext" in
        opus) opusdec --quiet "$file" "$work/take.wav" 2>"$work/decode.err" ;;
        *) sox "$file" -b 16 "$work/take.wav" 2>"$work/decode.err" ;;
    esac || fail "$situation: $file does not decode: $(cat "$work/decode.err")"
    read -r t_frames t_rate t_start t_end t_level t_left t_right t_dropouts t_dropped <<<"$(measure "$work/take.wav")"
    read -r p_frames _ p_start p_end p_level p_left p_right p_dropouts p_dropped <<<"$(measure "$work/played.raw")"
    t_length="$(awk -v a="$t_start" -v b="$t_end" 'BEGIN { printf "%.3f", b - a }')"
    p_length="$(awk -v a="$p_start" -v b="$p_end" 'BEGIN { printf "%.3f", b - a }')"
    echo "--- $situation: the take: $t_frames frames at $t_rate Hz, $t_length s of sound at $t_level dBFS," \
        "$t_left Hz left, $t_right Hz right, $t_dropouts dropouts ($t_dropped s)"
    echo "--- $situation: played: $p_length s of sound at $p_level dBFS, $p_left Hz left, $p_right Hz right," \
        "$p_dropouts dropouts ($p_dropped s), from $p_start s of the monitor's" \
        "$(awk -v f="$p_frames" 'BEGIN { printf "%.2f", f / 44100 }') s"
    # The take holds the tone: its pitches, about the 2 s recorded.
    near "$t_left" "$left" "$(awk -v f="$left" 'BEGIN { print f / 100 }')" &&
        near "$t_right" "$right" "$(awk -v f="$right" 'BEGIN { print f / 100 }')" ||
        fail "$situation: the take holds $t_left Hz and $t_right Hz, not the tone of $left Hz and $right Hz"
    awk -v l="$t_length" 'BEGIN { exit !(l >= 1.8) }' || fail "$situation: the take holds $t_length s of sound"
    # The sink played it: sound, of the take's pitch on each channel, level and length.
    awk -v l="$p_length" 'BEGIN { exit !(l > 0) }' || fail "$situation: the sink played silence"
    near "$p_left" "$t_left" "$(awk -v f="$t_left" 'BEGIN { print f / 200 }')" &&
        near "$p_right" "$t_right" "$(awk -v f="$t_right" 'BEGIN { print f / 200 }')" ||
        fail "$situation: the sink played $p_left Hz and $p_right Hz, the take holds $t_left Hz and $t_right Hz"
    near "$p_level" "$t_level" 1.5 || fail "$situation: the sink played at $p_level dBFS, the take is at $t_level dBFS"
    near "$p_length" "$t_length" 0.2 || fail "$situation: the sink played $p_length s of sound, the take holds $t_length s"
    awk -v n="$((p_dropouts - t_dropouts))" -v s="$p_dropped" -v t="$t_dropped" -v m="$most_dropouts" \
        'BEGIN { exit !(n <= m && s - t <= 0.1) }' ||
        fail "$situation: the sink went silent $p_dropouts times for $p_dropped s in all while playing; the take has" \
            "$t_dropouts such stretches, $t_dropped s"
    if [ "$ext" = flac ]; then
        where="$(holds_exactly "$work/played.raw" "$work/take.wav" "$unheard" "$most_dropouts" 4410 2>&1)" ||
            fail "$situation: what the sink played is not the take sample for sample: $where"
        echo "--- $situation: the take's samples exactly, $where"
    fi
done
echo PASS
