# shellcheck shell=bash
# Shared by the tests that drive the real program under X. Sourced; uses $pid (the program's) and
# the caller's fail.

# Session buses of the tests' own (tools/test_env.sh).
. "$TRELVIK_SOURCE_DIR/tools/test_env.sh"

# The spool a recording grows in beside its destination until Stop gives it its name: a wave file,
# "<name>.recording" or "<name>.N.recording", formerly "trelvik-recording-XXXXXX.wav".
trelvik_spool_globs=('*.recording' 'trelvik-recording-*.wav')

# The visible top-level window with exactly this title, waiting up to 10 s for it.
window() {
    local id
    for _ in $(seq 100); do
        id="$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)" || true
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}

# Asks a window to close, as its close box does, and waits up to 10 s for it to go (or the program
# to end).
close_window() {
    "$TRELVIK_TESTS_BIN_DIR/xclose" "$1" || fail "could not ask window $1 to close"
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || return 0
        xwininfo -id "$1" 2>/dev/null | grep -q 'IsViewable' || return 0
        sleep 0.1
    done
}

# Waits up to 10 s for the program to end and checks its exit status.
ends_with() {
    local status=0
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && fail "the program did not end"
    wait "$pid" || status=$?
    pid=
    [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

# A test of the real program needs the sound server that test.sh starts: without it the test fails
# when that server was promised (TRELVIK_TEST_SINK set) and is skipped otherwise.
need_sound_server() {
    pactl info >/dev/null 2>&1 && return 0
    [ -n "${TRELVIK_TEST_SINK:-}" ] && { echo "FAIL: no sound server"; exit 1; }
    echo "SKIP: no sound server"
    exit 77
}

# The spool of the recording running in a folder, empty when none is.
spool_file() {
    local glob file
    for glob in "${trelvik_spool_globs[@]}"; do
        for file in "$1"/$glob; do
            [ -f "$file" ] && { echo "$file"; return 0; }
        done
    done
}

# Seconds of audio in the spool of the recording running in a folder, at this many bytes a second.
# A header longer than the plain 44 bytes counts as a fraction of a millisecond of audio.
recorded_seconds() { # folder bytes-per-second
    local file size
    file="$(spool_file "$1")"
    size=0
    [ -n "$file" ] && size="$(stat -c %s "$file" 2>/dev/null || echo 0)"
    awk -v s="$size" -v r="$2" 'BEGIN { d = (s - 44) / r; printf "%.3f\n", d < 0 ? 0 : d }'
}

# Waits until the recording running in a folder holds at least this many seconds of audio. Fails
# when it gets nowhere near that: the recording did not start or stopped growing.
wait_recorded() { # folder seconds bytes-per-second
    local limit now
    limit=$(( ${2%.*} * 10 + 150 ))
    for _ in $(seq "$limit"); do
        now="$(recorded_seconds "$1" "$3")"
        awk -v n="$now" -v w="$2" 'BEGIN { exit !(n >= w) }' && return 0
        sleep 0.1
    done
    fail "the recording in $1 did not reach $2 s (it holds $now s)"
}

# Keeps a paused recording paused for this many seconds of the clock, checking that its spool does
# not grow meanwhile beyond the last batch of audio taken before the pause (the writer writes once
# a second).
hold_pause() { # folder seconds bytes-per-second
    local start before now
    start="$(date +%s.%N)"
    before="$(recorded_seconds "$1" "$3")"
    while awk -v s="$start" -v t="$(date +%s.%N)" -v w="$2" 'BEGIN { exit !(t - s < w) }'; do
        now="$(recorded_seconds "$1" "$3")"
        awk -v n="$now" -v b="$before" 'BEGIN { exit !(n - b > 1.1) }' &&
            fail "the paused recording grew from $before s to $now s"
        sleep 0.1
    done
}

# Waits until the program has painted a window: its picture has more than one colour and is the
# same in two grabs in a row. The last grab is left in the file when one is given. After 5 s it
# gives up without failing: pictures are for people, and what a test checks it checks itself.
painted() { # window-id [file]
    local file="${2:-}" previous="" signature=""
    [ -n "$file" ] || file="$(mktemp --suffix=.png)"
    for _ in $(seq 50); do
        if import -window "$1" "$file" 2>/dev/null; then
            signature="$(/usr/bin/identify -format '%k %#' "$file" 2>/dev/null)" || signature=""
            if [ -n "$signature" ] && [ "${signature%% *}" -gt 1 ] && [ "$signature" = "$previous" ]; then
                break
            fi
            previous="$signature"
        fi
        sleep 0.1
    done
    [ -n "${2:-}" ] || rm -f "$file"
    return 0
}

# A picture of a window as the program has painted it.
shot() { # window-id file
    painted "$1" "$2"
}

# The accessibility bus, as a screen reader sees the program: a private session bus with the
# accessibility bus on it, for programs started after this call. The bus activates only the services
# in the folder given, none without one. The caller's cleanup calls stop_accessibility.
a11y_pids=()
a11y_address=
start_accessibility() { # [service-folder]
    local out address
    out="$(trelvik_private_bus "${1:-}")" || fail "no session bus"
    DBUS_SESSION_BUS_ADDRESS="$(sed -n 1p <<<"$out")"
    export DBUS_SESSION_BUS_ADDRESS
    a11y_pids+=("$(sed -n 2p <<<"$out")")
    /usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
    a11y_pids+=($!)
    for _ in $(seq 100); do
        address="$(dbus-send --session --print-reply=literal --dest=org.a11y.Bus /org/a11y/bus \
            org.a11y.Bus.GetAddress 2>/dev/null)" && break
        sleep 0.1
    done
    read -r address <<<"$address"
    [ -n "$address" ] || fail "the accessibility bus did not start"
    # The test's side names the bus outright rather than look for it on the X display, which other
    # tests share. The program finds it through the session bus: given the address, Qt 6.4 connects
    # but never shows its windows there.
    a11y_address="$address"
    export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
}

stop_accessibility() {
    local p environ
    # The services the bus started (it lets them go as it starts them) end with it.
    if [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] && [ ${#a11y_pids[@]} -gt 0 ]; then
        for environ in /proc/[0-9]*/environ; do
            { tr '\0' '\n' <"$environ"; } 2>/dev/null | grep -qxF "DBUS_STARTER_ADDRESS=$DBUS_SESSION_BUS_ADDRESS" &&
                kill "$(basename "$(dirname "$environ")")" 2>/dev/null || true
        done
    fi
    # The launcher may already have gone with the session bus.
    for p in "${a11y_pids[@]}"; do kill "$p" 2>/dev/null || true; done
    a11y_pids=()
}

# Reads or drives the program over the accessibility bus; see tests/a11y.py for the commands.
a11y() {
    AT_SPI_BUS_ADDRESS="$a11y_address" /usr/bin/python3 "$TRELVIK_SOURCE_DIR/tests/a11y.py" "$@"
}
