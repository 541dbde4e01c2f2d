#!/usr/bin/env bash
# shellcheck shell=bash
# The world the tests run in: a private Xvfb and a private sound server, either PulseAudio or
# PipeWire with its Pulse server, holding a null sink "trelvik_sink" (44100 Hz, s16le, stereo) that
# is the default sink and whose monitor, the default source, hears what is played into it. All of it
# lives in a temporary runtime folder and goes away with it.
#
# test.sh sources this file and calls trelvik_env_start SERVER before CTest and trelvik_env_stop
# after. Run it to try tests by hand in the same world:
#   tools/test_env.sh [--server pulseaudio|pipewire] [--sanitize] [COMMAND [ARGS...]]
# for example, in a build folder:
#   ../tools/test_env.sh --server pipewire ctest --output-on-failure -R test_pulse_capture
# With no command it starts a shell; everything it started stops when the command or shell ends.

# shellcheck disable=SC2034 # the servers test.sh runs the tests against, in this order
trelvik_env_servers=(pulseaudio pipewire)
# Sourced a second time, the file keeps the world it started.
trelvik_env_runtime="${trelvik_env_runtime:-}"
[ -n "${trelvik_env_pids+set}" ] || trelvik_env_pids=()

# AddressSanitizer and UndefinedBehaviorSanitizer settings for a build with TRELVIK_SANITIZE: every
# report ends the program with a failure; leaks in the system's libraries, which we cannot fix, are
# named in tools/lsan.supp.
trelvik_env_sanitizers() { # top
    export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:check_initialization_order=1:strict_init_order=1"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    export LSAN_OPTIONS="suppressions=$1/tools/lsan.supp:print_suppressions=0"
}

# Whether a process we started still runs; an ended child that nobody has waited for yet does not.
trelvik_env_alive() { # pid
    local state
    state="$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# Waits up to 10 s for a condition (a command) to hold.
trelvik_env_until() {
    local _
    for _ in $(seq 100); do
        "$@" && return 0
        sleep 0.1
    done
    "$@"
}

trelvik_env_fail() { # message [log...]
    local log
    echo "test_env: $1" >&2
    shift
    for log in "$@"; do
        [ -s "$log" ] || continue
        echo "--- $log" >&2
        tail -n 40 "$log" >&2
    done
    return 1
}

# Starts a program in the background with its output in a log beside it, and keeps its pid so that
# trelvik_env_stop ends it.
trelvik_env_spawn() { # log command...
    local log="$1"
    shift
    "$@" </dev/null >"$log" 2>&1 &
    trelvik_env_pids+=($!)
}

trelvik_env_start_xvfb() {
    local rt="$trelvik_env_runtime"
    # Xvfb picks a free display itself and names it once it accepts connections: a number chosen
    # here could be taken by another run between the check and the start. Without -noreset it
    # resets whenever its last client leaves, and drops a client that connects meanwhile: a
    # program started while an xdotool poll ends would find no display.
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$rt/display" </dev/null >"$rt/xvfb.log" 2>&1 &
    trelvik_env_pids+=($!)
    trelvik_env_until test -s "$rt/display" || trelvik_env_fail "Xvfb did not start" "$rt/xvfb.log" || return 1
    DISPLAY=":$(tr -d '[:space:]' <"$rt/display")"
    export DISPLAY
    trelvik_env_until xdpyinfo -display "$DISPLAY" >/dev/null 2>&1 ||
        trelvik_env_fail "Xvfb does not answer on $DISPLAY" "$rt/xvfb.log"
}

trelvik_env_start_pulseaudio() {
    local rt="$trelvik_env_runtime"
    trelvik_env_spawn "$rt/pulse.log" pulseaudio --daemonize=no --exit-idle-time=-1 -n --use-pid-file=no \
        --disable-shm=false --load=module-native-protocol-unix \
        --load="module-null-sink sink_name=trelvik_sink rate=44100 format=s16le channels=2"
    trelvik_env_until pactl info >/dev/null 2>&1 || trelvik_env_fail "PulseAudio did not start" "$rt/pulse.log"
}

# PipeWire as a desktop runs it: the daemon, WirePlumber for the policy (defaults, linking,
# suspending idle nodes) and the Pulse server, on a session bus of their own that the tests never
# see. Their configuration and saved state stay in the runtime folder.
trelvik_env_start_pipewire() {
    local rt="$trelvik_env_runtime" bus
    local logs=("$rt/dbus.log" "$rt/pipewire.log" "$rt/wireplumber.log" "$rt/pipewire-pulse.log")
    mkdir -p "$rt/config/pipewire/pipewire.conf.d" "$rt/config/wireplumber/main.lua.d" \
        "$rt/config/wireplumber/bluetooth.lua.d" "$rt/state" || return 1
    # The graph may run at 44100 Hz, so the null sink is not resampled to 48000 Hz and back; a test
    # that records from sinks of other rates allows those too (TRELVIK_ENV_RATES).
    cat >"$rt/config/pipewire/pipewire.conf.d/50-trelvik-tests.conf" <<EOF
context.properties = {
    default.clock.allowed-rates = [ ${TRELVIK_ENV_RATES:-44100 48000} ]
}
EOF
    # No hardware: the machine's own sound cards, cameras and headsets stay with its own server.
    cat >"$rt/config/wireplumber/main.lua.d/60-trelvik-tests.lua" <<'EOF'
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
EOF
    echo 'bluez_monitor.enabled = false' >"$rt/config/wireplumber/bluetooth.lua.d/60-trelvik-tests.lua"
    # A bus with nothing to activate: no service it could start outlives the run. Its socket is not
    # $XDG_RUNTIME_DIR/bus, where a program without DBUS_SESSION_BUS_ADDRESS looks for the session
    # bus: the tests' programs must not find it.
    cat >"$rt/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$rt/pipewire-bus</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
    dbus-daemon --config-file="$rt/bus.conf" --nofork --print-address=3 3>"$rt/bus.address" \
        </dev/null >"$rt/dbus.log" 2>&1 &
    trelvik_env_pids+=($!)
    trelvik_env_until test -s "$rt/bus.address" || trelvik_env_fail "the session bus did not start" "${logs[@]}" ||
        return 1
    bus="$(head -n 1 "$rt/bus.address")"

    local daemon=(env -u PIPEWIRE_REMOTE -u PIPEWIRE_RUNTIME_DIR -u PIPEWIRE_CONFIG_DIR
        XDG_CONFIG_HOME="$rt/config" XDG_STATE_HOME="$rt/state" DBUS_SESSION_BUS_ADDRESS="$bus")
    trelvik_env_spawn "$rt/pipewire.log" "${daemon[@]}" pipewire
    trelvik_env_until test -S "$rt/pipewire-0" || trelvik_env_fail "pipewire did not start" "${logs[@]}" || return 1
    trelvik_env_spawn "$rt/wireplumber.log" "${daemon[@]}" wireplumber
    # At level 3 the Pulse server logs each cycle of its graph a client's stream missed ("(Trelvik-0)
    # client missed 1 wakeups"), whose audio that client never gets: TRELVIK_TEST_SERVER_LOG.
    trelvik_env_spawn "$rt/pipewire-pulse.log" "${daemon[@]}" PIPEWIRE_DEBUG=3 pipewire-pulse
    trelvik_env_until pactl info >/dev/null 2>&1 || trelvik_env_fail "pipewire-pulse did not start" "${logs[@]}" ||
        return 1
    pactl load-module module-null-sink sink_name=trelvik_sink rate=44100 format=s16le channels=2 >/dev/null ||
        trelvik_env_fail "no null sink" "${logs[@]}"
}

# The default sink and source are set through the Pulse protocol; on PipeWire, WirePlumber makes
# them the defaults a moment later, so wait until the server reports them.
trelvik_env_defaults() {
    [ "$(pactl get-default-sink 2>/dev/null)" = trelvik_sink ] &&
        [ "$(pactl get-default-source 2>/dev/null)" = trelvik_sink.monitor ]
}

# Sets the null sink and its monitor as the defaults until the server reports them, for up to 30 s.
# PipeWire's Pulse server answers "Not supported" until WirePlumber has published its metadata for
# the defaults, which on a loaded machine comes a while after the server answers at all.
trelvik_env_set_defaults() {
    local _
    for _ in $(seq 300); do
        { pactl set-default-sink trelvik_sink && pactl set-default-source trelvik_sink.monitor; } 2>/dev/null &&
            trelvik_env_defaults && return 0
        sleep 0.1
    done
    pactl set-default-sink trelvik_sink && pactl set-default-source trelvik_sink.monitor &&
        trelvik_env_until trelvik_env_defaults
}

# A session bus of a test's own. It activates only the services in the folder given, none without
# one, so that a portal or a notification service installed on the machine never answers a test.
# Prints the bus's address and its process id, a line each, as "dbus-daemon --print-address
# --print-pid" does; the caller ends the process.
trelvik_private_bus() { # [service-folder]
    local config services="" status
    config="$(mktemp /tmp/trelvik-bus.XXXXXX)" || return 1
    [ -n "${1:-}" ] && services="<servicedir>$1</servicedir>"
    cat >"$config" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  $services
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
    # The bus has read its configuration once it prints its address.
    dbus-daemon --config-file="$config" --fork --print-address=1 --print-pid=1
    status=$?
    rm -f "$config"
    return $status
}

# Stops the Pulse server of the world and starts it again with its null sink, as a sound server that
# was restarted comes back: PulseAudio itself, or PipeWire's Pulse server (PipeWire and WirePlumber
# go on). Returns once the null sink is the default sink again, its monitor the default source.
trelvik_env_restart_server() {
    local rt="$trelvik_env_runtime" pid kept=() p
    pid="$(trelvik_env_sound_server_pid)"
    [ -n "$pid" ] || trelvik_env_fail "no sound server of this world to restart" || return 1
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do trelvik_env_alive "$pid" || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    for p in "${trelvik_env_pids[@]}"; do [ "$p" = "$pid" ] || kept+=("$p"); done
    trelvik_env_pids=("${kept[@]}")
    case "$TRELVIK_TEST_SERVER" in
        pulseaudio) trelvik_env_start_pulseaudio || return 1 ;;
        pipewire)
            trelvik_env_spawn "$rt/pipewire-pulse.log" env -u PIPEWIRE_REMOTE -u PIPEWIRE_RUNTIME_DIR \
                -u PIPEWIRE_CONFIG_DIR XDG_CONFIG_HOME="$rt/config" XDG_STATE_HOME="$rt/state" \
                DBUS_SESSION_BUS_ADDRESS="$(head -n 1 "$rt/bus.address")" PIPEWIRE_DEBUG=3 pipewire-pulse
            trelvik_env_until pactl info >/dev/null 2>&1 ||
                trelvik_env_fail "pipewire-pulse did not start again" "$rt/pipewire-pulse.log" || return 1
            pactl load-module module-null-sink sink_name=trelvik_sink rate=44100 format=s16le channels=2 \
                >/dev/null || trelvik_env_fail "no null sink" "$rt/pipewire-pulse.log" || return 1
            ;;
    esac
    export TRELVIK_TEST_SERVER_PID="$(trelvik_env_sound_server_pid)"
    trelvik_env_set_defaults ||
        trelvik_env_fail "trelvik_sink did not become the default sink again" "$rt"/*.log
}

# Starts Xvfb and the sound server and exports what the tests need. Returns non-zero, with the
# servers' logs shown, when something did not start; trelvik_env_stop cleans up in either case.
trelvik_env_start() { # pulseaudio|pipewire
    local server="$1"
    case "$server" in
        pulseaudio | pipewire) ;;
        *) trelvik_env_fail "unknown sound server '$server' (pulseaudio or pipewire)"; return 1 ;;
    esac
    trelvik_env_runtime="$(mktemp -d /tmp/trelvik-test.XXXXXX)" || return 1
    chmod 700 "$trelvik_env_runtime"
    trelvik_env_start_xvfb || return 1

    export XDG_RUNTIME_DIR="$trelvik_env_runtime"
    export PULSE_SERVER="unix:$trelvik_env_runtime/pulse/native"
    unset PULSE_SINK PULSE_SOURCE PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR
    "trelvik_env_start_$server" || return 1
    trelvik_env_set_defaults ||
        trelvik_env_fail "trelvik_sink did not become the default sink, its monitor the default source" \
            "$trelvik_env_runtime"/*.log || return 1

    export TRELVIK_TEST_SERVER="$server"
    export TRELVIK_TEST_SINK=trelvik_sink
    # The process that speaks the Pulse protocol: a test may stall it (SIGSTOP) as a hung server.
    export TRELVIK_TEST_SERVER_PID="$(trelvik_env_sound_server_pid)"
    # Where the server says which client missed a cycle of its graph; PulseAudio has none to say.
    if [ "$server" = pipewire ]; then
        export TRELVIK_TEST_SERVER_LOG="$trelvik_env_runtime/pipewire-pulse.log"
    else
        unset TRELVIK_TEST_SERVER_LOG
    fi
    # No session bus the tests share: one Trelvik runs a session, and the programs of two tests
    # running side by side must not find each other. A test that needs a bus starts its own.
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$trelvik_env_runtime/no-session-bus"
    unset QT_LINUX_ACCESSIBILITY_ALWAYS_ON AT_SPI_BUS_ADDRESS
}

# Ends what trelvik_env_start started, the last started first (the Pulse server before PipeWire,
# PipeWire before its bus), and removes the runtime folder. Safe under "set -e": the status of an
# ended server does not cut it short.
trelvik_env_stop() {
    local i pid
    for ((i = ${#trelvik_env_pids[@]} - 1; i >= 0; i--)); do
        pid="${trelvik_env_pids[i]}"
        kill -TERM "$pid" 2>/dev/null || continue
        for _ in $(seq 50); do trelvik_env_alive "$pid" || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    trelvik_env_pids=()
    [ -n "$trelvik_env_runtime" ] && rm -rf "$trelvik_env_runtime"
    trelvik_env_runtime=
    return 0
}

# For the scripts under bench/: the world they are run in (inside "tools/test_env.sh"), or one of
# their own (always, with "own"), which trelvik_env_leave stops again. Returns non-zero when a world
# of its own did not start.
trelvik_env_entered=0
trelvik_env_enter() { # [pulseaudio|pipewire] [own]
    if [ "${2:-}" != own ] && [ -n "${TRELVIK_TEST_SINK:-}" ] && pactl info >/dev/null 2>&1; then
        trelvik_env_entered=0
        return 0
    fi
    trelvik_env_entered=1
    trelvik_env_start "${1:-pulseaudio}"
}
trelvik_env_leave() {
    [ "$trelvik_env_entered" = 0 ] || trelvik_env_stop
    trelvik_env_entered=0
}

# Also for bench/: a private folder in $work and a list $pids of background processes, both gone
# when the script exits, with the world it entered. A script with more to end first defines
# trelvik_bench_before_end.
trelvik_bench_begin() { # name
    work="$(mktemp -d "/tmp/trelvik-$1.XXXXXX")" || exit 1
    chmod 700 "$work"
    pids=()
    trap trelvik_bench_end EXIT
}
trelvik_bench_end() {
    local pid
    if declare -F trelvik_bench_before_end >/dev/null; then trelvik_bench_before_end || true; fi
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    trelvik_env_leave
    rm -rf "$work"
}

# Whether a sink's monitor carries sound now (by default the test sink's): a tenth of a second of it
# holds a sample other than 0. A player's first samples reach the monitor a moment after it starts.
trelvik_env_hears_sound() { # [sink]
    local sink="${1:-$TRELVIK_TEST_SINK}"
    [ "$(timeout 2 parec --raw --latency-msec=50 --device="$sink.monitor" --format=s16le --rate=44100 \
        --channels=2 2>/dev/null | head -c 17640 | tr -d '\0' | wc -c)" -gt 0 ]
}

# Nanoseconds a process has spent on a processor, all its threads together: the scheduler's own
# count, finer than the clock ticks of /proc/PID/stat. A thread that has ended no longer counts, so
# it measures stretches in which a program keeps its threads.
trelvik_cpu_ns() { # pid
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%d\n", s }'
}

# The sound server's process in a world of its own (the Pulse server: PulseAudio, or pipewire-pulse);
# empty in a world this shell did not start.
trelvik_env_sound_server_pid() {
    local pid
    for pid in "${trelvik_env_pids[@]}"; do
        case "$(cat "/proc/$pid/comm" 2>/dev/null)" in pulseaudio | pipewire-pulse) echo "$pid"; return 0 ;; esac
    done
}

# Run, not sourced: start the world, run the command in it, stop it again.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -uo pipefail
    top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    server=pulseaudio
    while [ $# -gt 0 ]; do
        case "$1" in
            --server) [ $# -ge 2 ] || { echo "test_env: --server needs pulseaudio or pipewire" >&2; exit 2; }
                server="$2"; shift 2 ;;
            --server=*) server="${1#--server=}"; shift ;;
            --sanitize) trelvik_env_sanitizers "$top"; shift ;;
            --) shift; break ;;
            -h | --help)
                echo "usage: tools/test_env.sh [--server pulseaudio|pipewire] [--sanitize] [COMMAND [ARGS...]]"
                exit 0 ;;
            *) break ;;
        esac
    done
    trap trelvik_env_stop EXIT
    trap 'exit 130' INT TERM
    trelvik_env_start "$server" || exit 1
    if [ $# -eq 0 ]; then
        echo "test_env: $server on $PULSE_SERVER, DISPLAY=$DISPLAY; exit the shell to stop them"
        set -- "${SHELL:-bash}"
    fi
    "$@"
    exit $?
fi
