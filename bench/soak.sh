#!/usr/bin/env bash
# A long recording by the real program: it records MINUTES of audio at 44100 Hz, 16 bits, stereo
# from a null sink's monitor while one stream of known noise plays into that sink for the whole
# run, pausing for 10 s half way. It is driven through the session-bus interface that
# "trelvik --command" and so a user's key bindings use, on a private session bus. Prints the
# processor time per recorded minute, the resident memory after one minute and at the end, the
# file's length against the time recorded by the clock, and whether the file holds the played
# noise sample for sample: two unbroken runs of it, one before and one after the pause.
#
#   bench/soak.sh [MINUTES] [BUILD_DIR]     (default: 60 minutes, build)
#
# Targets: memory growth under 1 MiB from the first minute to the end, the length within one
# capture fragment (50 ms) of the time recorded, every sample as played.
# Runs in the tests' world (tools/test_env.sh, PulseAudio) with a session bus of its own, and stops
# them again; run inside "tools/test_env.sh --server pipewire" it uses that world instead. Needs
# about 25 MB of space in /tmp for each minute.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
minutes="${1:-60}"
build="${2:-$top/build}"
trelvik="$build/bin/trelvik"
[[ "$minutes" =~ ^[1-9][0-9]*$ ]] || { echo "usage: bench/soak.sh [MINUTES] [BUILD_DIR]"; exit 2; }
[ -x "$trelvik" ] || { echo "soak.sh: build trelvik first ($trelvik is missing)"; exit 1; }

rate=44100
frame_bytes=4
fragment=$((rate * 50 / 1000))
pause_s=10
record_s=$((minutes * 60))
first_s=$((record_s / 2))

# The world it runs in is the tests' own (tools/test_env.sh): a private Xvfb and a private PulseAudio
# whose null sink's monitor is the default source. Run inside "tools/test_env.sh [--server S]", it
# uses the world that made; otherwise it starts one and stops it again.
. "$top/tools/test_env.sh"
trelvik_bench_begin soak
program=
trelvik_bench_before_end() { [ -z "$program" ] || kill -9 "$program" 2>/dev/null || true; }
trap 'exit 130' INT TERM
die() { echo "soak.sh: $*" >&2; exit 1; }

trelvik_env_enter pulseaudio || die "the test world did not start"
sink="$TRELVIK_TEST_SINK"
unset QT_QPA_PLATFORM
# The world has no session bus on purpose; the commands reach the program on one of its own.
bus="$(trelvik_private_bus)" || die "no session bus"
DBUS_SESSION_BUS_ADDRESS="$(sed -n 1p <<<"$bus")"
export DBUS_SESSION_BUS_ADDRESS
pids+=("$(sed -n 2p <<<"$bus")")
pactl set-default-sink "$sink"
pactl set-default-source "$sink.monitor"

# The signal: full-scale white noise from a fixed seed, long enough for the whole run, played as one
# stream so that the sink never starts a new one. Every stretch of a few thousand bytes of it occurs
# once, which lets the check find where each part of the recording lies in it.
signal_s=$((record_s + pause_s + 120))
python3 - "$work/signal.raw" "$((signal_s * rate * frame_bytes))" <<'EOF'
import random, sys
path, size = sys.argv[1], int(sys.argv[2])
noise = random.Random(20240917)
with open(path, "wb") as out:
    while size > 0:
        n = min(size, 1 << 24)
        out.write(noise.randbytes(n))
        size -= n
EOF
# A player that falls behind leaves the sink playing silence, which a faithful recording then holds
# too. The player and the sound server run ahead of other programs (as a desktop's real-time sound
# server does), with half a second of buffer: that keeps the sink fed on a busy machine, where a
# long buffer makes the null sink render in long blocks, and a monitor stream that starts then
# waits a whole block for its first audio.
pacat --playback --verbose --raw --format=s16le --rate=$rate --channels=2 --device="$sink" \
    --latency-msec=500 <"$work/signal.raw" 2>"$work/pacat.log" &
player=$!
pids+=("$player")
if [ "$(id -u)" = 0 ]; then
    renice -n -10 -p "$player" >/dev/null
    for p in "${trelvik_env_pids[@]}"; do
        case "$(cat "/proc/$p/comm" 2>/dev/null)" in pulseaudio | pipewire* | wireplumber) renice -n -10 -p "$p" >/dev/null ;; esac
    done
fi
# The sink runs as soon as the player connects, before its first samples are rendered: wait until
# the monitor hears the noise, so that the take does not begin with the silence before it.
trelvik_env_until trelvik_env_hears_sound "$sink" || die "the signal does not play"

mkdir -p "$work/home" "$work/rec"
printf '[Config]\nRecording Source=1\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=%s\nSave Position=%s\n' \
    "$rate" "$work/rec/soak.wav" >"$work/home/Config.ini"
"$trelvik" --home "$work/home" >"$work/trelvik.log" 2>&1 &
program=$!
for _ in $(seq 200); do xdotool search --onlyvisible --name '^Trelvik$' >/dev/null 2>&1 && break; sleep 0.1; done
xdotool search --onlyvisible --name '^Trelvik$' >/dev/null 2>&1 || { cat "$work/trelvik.log" >&2; die "no main window"; }
for _ in $(seq 100); do [ "$("$trelvik" --command status 2>/dev/null)" = idle ] && break; sleep 0.1; done
[ "$("$trelvik" --command status 2>/dev/null)" = idle ] || die "the program does not answer on the session bus"

now() { date +%s.%N; }
ticks() { awk '{ print $14 + $15 }' "/proc/$program/stat"; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$program/status"; }
# Calls one method of the program's session-bus interface, the one "trelvik --command" calls,
# and leaves "before after" in the named variable. dbus-send starts in a few milliseconds, where
# "trelvik --command" first starts Qt: the moment each command took effect is known closely.
timed() { # variable method
    local var="$1" before after
    before="$(now)"
    dbus-send --session --print-reply --dest=org.trelvik.Trelvik /org/trelvik/Trelvik "org.trelvik.Trelvik.$2" \
        >/dev/null || die "the program did not answer $2"
    after="$(now)"
    printf -v "$var" '%s %s' "$before" "$after"
}
mid() { awk -v b="${1% *}" -v a="${1#* }" 'BEGIN { printf "%.6f", (a + b) / 2 }'; }
spread() { awk -v b="${1% *}" -v a="${1#* }" 'BEGIN { printf "%.6f", (a - b) / 2 }'; }
# Waits until so many seconds after a moment, checking every second that the program and the
# player still run.
wait_until() { # moment seconds
    local deadline left
    deadline="$(awk -v m="$1" -v s="$2" 'BEGIN { printf "%.6f", m + s }')"
    while :; do
        kill -0 "$program" 2>/dev/null || { cat "$work/trelvik.log" >&2; die "the program ended while recording"; }
        kill -0 "$player" 2>/dev/null || die "the signal stopped playing"
        left="$(awk -v d="$deadline" -v n="$(now)" 'BEGIN { printf "%.6f", d - n }')"
        awk -v l="$left" 'BEGIN { exit !(l > 0) }' || return 0
        sleep "$(awk -v l="$left" 'BEGIN { print (l < 1) ? l : 1 }')"
    done
}

t_record='' t_pause='' t_resume='' t_stop=''
ticks_start="$(ticks)"
timed t_record Record
[ "$("$trelvik" --command status)" = recording ] || die "record did not start a take"
start="$(mid "$t_record")"
# The first memory reading after one minute of recording; a run too short for that reads it just
# before the pause.
rss_1_at=$((first_s < 60 ? first_s : 60))
wait_until "$start" "$rss_1_at"
rss_1="$(rss_kb)"
wait_until "$start" "$first_s"
timed t_pause Pause
[ "$("$trelvik" --command status)" = paused ] || die "pause did not pause"
wait_until "$(mid "$t_pause")" "$pause_s"
timed t_resume Pause
[ "$("$trelvik" --command status)" = recording ] || die "pause did not resume"
first_clock="$(awk -v a="$(mid "$t_pause")" -v b="$start" 'BEGIN { printf "%.6f", a - b }')"
wait_until "$(mid "$t_resume")" "$(awk -v r="$record_s" -v f="$first_clock" 'BEGIN { printf "%.6f", r - f }')"
rss_end="$(rss_kb)"
timed t_stop Stop
ticks_end="$(ticks)"
[ "$("$trelvik" --command status)" = idle ] || die "stop did not stop"
"$trelvik" --command quit >/dev/null || die "quit was not answered"
status=0
for _ in $(seq 300); do kill -0 "$program" 2>/dev/null || break; sleep 0.1; done
kill -0 "$program" 2>/dev/null && die "the program did not end after quit"
wait "$program" || status=$?
program=
[ -f "$work/rec/soak.wav" ] || { ls -la "$work/rec" >&2; die "no soak.wav after stop"; }

hz="$(getconf CLK_TCK)"
second_clock="$(awk -v a="$(mid "$t_stop")" -v b="$(mid "$t_resume")" 'BEGIN { printf "%.6f", a - b }')"
clock_spread="$(awk -v a="$(spread "$t_record")" -v b="$(spread "$t_pause")" -v c="$(spread "$t_resume")" \
    -v d="$(spread "$t_stop")" 'BEGIN { printf "%.6f", a + b + c + d }')"
paused_clock="$(awk -v a="$(mid "$t_resume")" -v b="$(mid "$t_pause")" 'BEGIN { printf "%.6f", a - b }')"
underruns="$(grep -ci underrun "$work/pacat.log" || true)"

python3 - "$work/rec/soak.wav" "$work/signal.raw" "$rate" "$fragment" "$first_clock" "$second_clock" \
    "$clock_spread" "$paused_clock" >"$work/check.txt" <<'EOF'
import mmap, struct, sys

rec_path, ref_path = sys.argv[1], sys.argv[2]
rate, fragment = int(sys.argv[3]), int(sys.argv[4])
first_clock, second_clock, spread, paused_clock = map(float, sys.argv[5:9])
FRAME = 4


def wave_data(path):
    f = open(path, "rb")
    m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    if m[0:4] not in (b"RIFF", b"RF64") or m[8:12] != b"WAVE":
        sys.exit("the recording is not a wave file")
    pos, fmt = 12, None
    while pos + 8 <= len(m):
        cid, size = m[pos:pos + 4], struct.unpack("<I", m[pos + 4:pos + 8])[0]
        if cid == b"fmt ":
            fmt = struct.unpack("<HHIIHH", m[pos + 8:pos + 24])
        if cid == b"data":
            return m, fmt, pos + 8, size
        pos += 8 + size + (size & 1)
    sys.exit("the recording has no data chunk")


rec, fmt, begin, declared = wave_data(rec_path)
present = len(rec) - begin
if declared == 0xFFFFFFFF:
    declared = present
tag, channels, srate, _, _, bits = fmt
print(f"format={'PCM' if tag == 1 else f'format tag {tag}'}, {channels} channels, {srate} Hz, {bits} bits")
print(f"header_frames={declared // FRAME}")
print(f"file_frames={present // FRAME}")
data_end = begin + min(declared, present)
ref_file = open(ref_path, "rb")
ref = mmap.mmap(ref_file.fileno(), 0, access=mmap.ACCESS_READ)


def zeros_from(at, limit):
    """Bytes of silence from at up to limit, in whole frames."""
    n = 0
    while at + n + FRAME <= limit and rec[at + n:at + n + FRAME] == ZERO:
        n += FRAME
    return n


def zeros_before(at, limit):
    """Bytes of silence that end at at, back to limit, in whole frames."""
    n = 0
    while at - n - FRAME >= limit and rec[at - n - FRAME:at - n] == ZERO:
        n += FRAME
    return n


ZERO = b"\0" * FRAME
lead = zeros_from(begin, data_end)
trail = zeros_before(data_end, begin + lead)
print(f"leading_silence_frames={lead // FRAME}")
print(f"trailing_silence_frames={trail // FRAME}")

runs, faults = [], []
pos, end, search, damaged = begin + lead, data_end - trail, 0, None
while pos < end:
    if rec[pos:pos + FRAME] == ZERO:
        n = zeros_from(pos, end)
        faults.append(f"{n // FRAME} frames of silence at frame {(pos - begin) // FRAME}")
        pos += n
        continue
    needle = rec[pos:min(pos + 4096, end)]
    # The first part may lie anywhere in the noise; later ones follow the part before, a little
    # after it (a pause, or audio lost) or before it (audio repeated).
    low = max(0, search - 10 * rate * FRAME) if runs else 0
    high = search + 120 * rate * FRAME if runs else len(ref)
    off = ref.find(needle, low, high)
    while off >= 0 and off % FRAME:
        off = ref.find(needle, off + 1, high)
    if off < 0:
        damaged = pos if damaged is None else damaged
        pos += FRAME
        if pos - damaged > 2 * rate * FRAME:
            faults.append(f"from frame {(damaged - begin) // FRAME} on the file is not the played noise")
            break
        continue
    if damaged is not None:
        faults.append(f"{(pos - damaged) // FRAME} frames at frame {(damaged - begin) // FRAME} are not the played noise")
        damaged = None
    n, step = 0, 1 << 20
    while pos + n < end:
        k = min(step, end - pos - n)
        if rec[pos + n:pos + n + k] == ref[off + n:off + n + k]:
            n += k
            continue
        lo, hi = 0, k  # the two agree on lo bytes and differ within hi
        while hi - lo > 1:
            m = (lo + hi) // 2
            if rec[pos + n:pos + n + m] == ref[off + n:off + n + m]:
                lo = m
            else:
                hi = m
        n += lo - lo % FRAME
        break
    if runs and off < search:
        faults.append(f"frame {(pos - begin) // FRAME} repeats audio recorded before")
    runs.append(((pos - begin) // FRAME, off // FRAME, n // FRAME))
    pos += n
    search = off + n

for i, (at, played, length) in enumerate(runs):
    print(f"run{i}=file frame {at}, played frame {played}, {length} frames ({length / rate:.3f} s)")
exact = len(runs) == 2 and not faults and lead == 0 and trail == 0 and runs[1][1] > runs[0][1] + runs[0][2]
for fault in faults:
    print(f"fault={fault}")
print(f"exact={'yes' if exact else 'no'}")
# The noise alone, apart from silence before and after it (a take may begin with the time its source
# handed over nothing, kept as silence so that the file's timeline is the time recorded).
runs_exact = len(runs) == 2 and not faults and runs[1][1] > runs[0][1] + runs[0][2]
print(f"runs_exact={'yes' if runs_exact else 'no'}")
if len(runs) == 2:
    skipped = runs[1][1] - (runs[0][1] + runs[0][2])
    print(f"skipped_frames={skipped}")
    print(f"skipped_s={skipped / rate:.3f}")
    print(f"part1_diff_frames={runs[0][2] - round(first_clock * rate)}")
    print(f"part2_diff_frames={runs[1][2] - round(second_clock * rate)}")
frames = (data_end - begin) // FRAME
clock = first_clock + second_clock
print(f"length_s={frames / rate:.3f}")
print(f"clock_s={clock:.3f}")
print(f"spread_frames={round(spread * rate)}")
print(f"diff_frames={frames - round(clock * rate)}")
EOF
value() { sed -n "s/^$1=//p" "$work/check.txt" | head -n 1; }

cpu="$(awk -v t="$((ticks_end - ticks_start))" -v hz="$hz" 'BEGIN { printf "%.2f", t / hz }')"
recorded_min="$(awk -v s="$(value length_s)" 'BEGIN { printf "%.4f", s / 60 }')"
diff_frames="$(value diff_frames)"
spread_frames="$(value spread_frames)"
growth=$((rss_end - rss_1))
echo "recorded                $(value length_s) s in two parts with a pause of $(awk -v p="$paused_clock" 'BEGIN { printf "%.1f", p }') s after $(awk -v f="$first_clock" 'BEGIN { printf "%.1f", f }') s; $(value format)"
echo "CPU per recorded minute $(awk -v c="$cpu" -v m="$recorded_min" 'BEGIN { printf "%.3f", c / m }') s   ($cpu s from Record to Stop, user + system)"
printf '%-24s%s KiB\n' "RSS after $rss_1_at s" "$rss_1"
echo "RSS at the end          $rss_end KiB   (growth $growth KiB; target under 1024 KiB: $([ "$growth" -lt 1024 ] && echo met || echo MISSED))"
echo "file length             $(value file_frames) frames, header says $(value header_frames)"
echo "time recorded (clock)   $(value clock_s) s = $(awk -v c="$(value clock_s)" -v r="$rate" 'BEGIN { printf "%d", c * r + 0.5 }') frames, +- $spread_frames frames (the commands' own time)"
echo "length - clock          $diff_frames frames (part before the pause $(value part1_diff_frames), after it $(value part2_diff_frames)); one fragment is $fragment frames: $(awk -v d="$diff_frames" -v f="$fragment" -v s="$spread_frames" 'BEGIN { d = d < 0 ? -d : d; print (d <= f + s) ? "met" : "MISSED" }')"
echo "signal sample for sample $(value exact)   leading/trailing silence $(value leading_silence_frames)/$(value trailing_silence_frames) frames; the noise between them: $(value runs_exact)"
sed -n 's/^run\([0-9]\)=/  run \1: /p; s/^fault=/  FAULT: /p' "$work/check.txt"
[ -z "$(value skipped_s)" ] || echo "  noise played while paused: $(value skipped_s) s (clock: $(awk -v p="$paused_clock" 'BEGIN { printf "%.3f", p }') s)"
echo "player underruns        $underruns$([ "$underruns" = 0 ] || echo " (the sink played silence there: silence in the file where the player fell behind is what played)")"
echo "program exit status     $status"
