# The end-to-end tests' signal and program, for scripts that compare takes with what was played
# (tests/app/signal_player.cpp, take_check.cpp). The script sets work, bin, tools and player, and
# defines fail; play_signal notes the player's log in logs for take_check, and witness_start and
# witness_end record a reference for its --reference.

now() { date +%s.%N; }

# Waits until the given time after a moment (the window appeared, the source came back): the moment
# the user acts.
at() { # moment seconds
    sleep "$(awk -v s="$1" -v d="$2" -v n="$(now)" 'BEGIN { w = s + d - n; printf "%.3f", (w > 0 ? w : 0) }')"
}

# The player and the sound server go ahead of the other programs: on a busy machine a player that
# ran dry would make the sink play silence, which the take would rightly hold. The world is the
# test's own, so nothing else is touched.
ahead() { renice -n -10 -p "$@" >/dev/null 2>&1 || true; }
ahead_servers() {
    local p
    for p in "${trelvik_env_pids[@]}"; do
        case "$(cat "/proc/$p/comm" 2>/dev/null)" in pulseaudio | pipewire* | wireplumber) ahead "$p" ;; esac
    done
}

# Each player plays its own stretch of the signal, so that no frame of it is ever played twice.
first_frame=0
logs=()
play_signal() { # sink rate channels bits [signal_player's options...]
    local device="$1" rate="$2" channels="$3" bits="$4" attempt log
    shift 4
    # A stream that a sink never starts or stops after its first quantum (seen on PipeWire under
    # load: three reports, then none for 10 s) is made again, the last time after the sink was
    # suspended and woken, which starts its clock afresh; the take is only ever compared with the
    # player that settled.
    for attempt in 1 2 3; do
        stop_playing
        if [ "$attempt" = 3 ]; then
            pactl suspend-sink "$device" 1 >/dev/null 2>&1 || true
            pactl suspend-sink "$device" 0 >/dev/null 2>&1 || true
        fi
        log="$work/player-$first_frame.log"
        "$tools/signal_player" --device "$device" --rate "$rate" --channels "$channels" --bits "$bits" \
            --first-frame "$first_frame" --log "$log" "$@" 2>>"$work/player.err" &
        player=$!
        ahead "$player"
        logs=(--log "$log")
        first_frame=$((first_frame + 100000000))
        # A new stream's first second is the sink's to settle: the player's reports of what is heard
        # hold once they agree with the clock for a second.
        for _ in $(seq 200); do
            settled "$log" "$rate" 2>/dev/null && return 0
            kill -0 "$player" 2>/dev/null || break
            sleep 0.05
        done
        echo "the signal did not play steadily into $device (attempt $attempt): $(tail -n 3 "$log" 2>&1 | tr '\n' ' ')" >&2
    done
    fail "the signal does not play steadily into $device: $(cat "$work/player.err") $(tail -n 3 "$log" 2>&1)"
}
# Whether the player's reports put its first frame at one moment over the last second: the median
# of its last half second within 5 ms of that of the half second before. A single report jitters by
# several milliseconds, more on a virtual machine whose stalls (20 to 70 ms, now and then) hold some
# up; a stream that a sink never started, or stopped, stops reporting or drifts off.
settled() { # log rate
    awk -v rate="$2" '
        function median(lo, hi,   n, i, j, x, a) {
            n = 0
            for (i = NR; i >= 1 && t[NR] - t[i] <= hi; i--) {
                if (t[NR] - t[i] < lo) continue
                x = t[i] - f[i] / rate
                for (j = n; j > 0 && a[j] > x; j--) a[j + 1] = a[j]
                a[j + 1] = x
                n++
            }
            return n >= 5 ? a[int((n + 1) / 2)] : ""
        }
        { t[NR] = $1; f[NR] = $2 }
        END {
            if (NR < 2 || t[NR] - t[1] < 1.5) exit 1
            late = median(0, 0.5); early = median(0.5, 1)
            exit !(late != "" && early != "" && late - early <= 0.005 && early - late <= 0.005)
        }' "$1"
}
stop_playing() {
    [ -n "$player" ] || return 0
    kill "$player" 2>/dev/null || true
    wait "$player" 2>/dev/null || true
    player=
}

# Starts the program and notes the moment its window appears (looked for every 20 ms).
start() {
    "$bin" --home "$work/home" >>"$work/trelvik.log" 2>&1 &
    pid=$!
    main=
    for _ in $(seq 500); do
        main="$(xdotool search --onlyvisible --name '^Trelvik$' 2>/dev/null | head -n 1)" || main=
        [ -n "$main" ] && break
        kill -0 "$pid" 2>/dev/null || fail "the program ended at start"
        sleep 0.02
    done
    [ -n "$main" ] || fail "the main window did not appear"
    shown="$(now)"
}
quit() {
    close_window "$main"
    ends_with 0
    pid=
}

# A witness of what the sound server delivers: while a take records, another client (parec) records
# the same source in the take's sample format into a raw file, from just before Record until a moment
# after Stop, for take_check --reference. A stretch of the take that is not the signal is the
# server's own doing when the reference holds it too. The witness asks for the program's own
# handover length: a shorter one would make the server run the sink in smaller blocks (PipeWire's
# graph in quanta of 512 frames instead of 1024), a world other than the one the program meets.
witness=
witness_file=
witness_start() { # source rate channels bits file
    local format=s16le
    witness_stop
    [ "$4" = 8 ] && format=u8
    parec --raw --device="$1" --rate="$2" --channels="$3" --format="$format" --latency-msec=50 \
        --client-name=witness >"$5" 2>>"$work/witness.err" &
    witness=$!
    witness_file="$5"
    ahead "$witness"
    # It records once it has written what it heard.
    for _ in $(seq 250); do
        [ -s "$5" ] && return 0
        kill -0 "$witness" 2>/dev/null || break
        sleep 0.02
    done
    echo "no reference of $1: $(tail -n 1 "$work/witness.err" 2>/dev/null)" >&2
    witness_stop
    return 0
}
# Stops the witness at once; its file stays.
witness_stop() {
    [ -n "$witness" ] || return 0
    kill "$witness" 2>/dev/null || true
    wait "$witness" 2>/dev/null || true
    witness=
}
# Once the take is saved: stops the witness when it holds a tenth of a second more than it did (it
# has then heard the take's last frames, up to a handover ago), and leaves the name of the reference
# it recorded in witnessed, empty when it recorded none.
witnessed=
witness_end() { # bytes-per-second
    local size
    witnessed=
    [ -n "$witness" ] || return 0
    size="$(stat -c %s "$witness_file" 2>/dev/null || echo 0)"
    for _ in $(seq 100); do
        [ "$(stat -c %s "$witness_file" 2>/dev/null || echo 0)" -gt $((size + $1 / 10)) ] && break
        kill -0 "$witness" 2>/dev/null || break
        sleep 0.02
    done
    witness_stop
    if [ -s "$witness_file" ]; then witnessed="$witness_file"; fi
    return 0
}
