# Shared by the tests that drive the real program under X. Sourced; uses $pid (the program's) and
# the caller's fail.

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

# Asks a window to close, as its close box does. The toolkit drops a close request that arrives
# before the window has first been exposed (a close box nobody could have clicked yet), so the
# request is repeated, at most three times two seconds apart, while the window is still up and the
# program still runs.
close_window() {
    local attempt
    for attempt in 1 2 3; do
        "$TRELVIK_TESTS_BIN_DIR/xclose" "$1"
        for _ in $(seq 20); do
            kill -0 "$pid" 2>/dev/null || return 0
            xwininfo -id "$1" 2>/dev/null | grep -q 'IsViewable' || return 0
            sleep 0.1
        done
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
