#!/usr/bin/env bash
# Installs what is missing, builds Trelvik with its tests, and runs every test through CTest, once
# against a private PulseAudio and once against a private PipeWire (with WirePlumber and its Pulse
# server), each with a null sink and a private Xvfb, which it stops again (tools/test_env.sh).
# A test that fails is run up to twice more, alone, and the summary names it; exits non-zero when a
# test fails every time, or a run does not finish.
# usage: ./test.sh [--server pulseaudio|pipewire] [--sanitize[=address|thread]]
#   --server S  run the tests against that sound server only
#   --sanitize  build with AddressSanitizer and UndefinedBehaviorSanitizer (in build-sanitize/), and
#               run the same tests there; any report fails its test
#   --sanitize=thread
#               build with ThreadSanitizer (in build-tsan/) and run the tests of the sound
#               components, whose threads meet the sound server's; any report fails its test
# Warnings are errors in the builds this script makes.
# TRELVIK_BUILD_DIR names the build folder (default build/, build-sanitize/ or build-tsan/), so
# that several builds can go on side by side.
set -uo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$top/tools/setup.sh"
. "$top/tools/test_env.sh"

usage() {
    echo "usage: ./test.sh [--server pulseaudio|pipewire] [--sanitize[=address|thread]]"
    exit 2
}

sanitize=
servers=("${trelvik_env_servers[@]}")
while [ $# -gt 0 ]; do
    case "$1" in
        --sanitize | --sanitize=address) sanitize=address; shift ;;
        --sanitize=thread) sanitize=thread; shift ;;
        --server) [ $# -ge 2 ] || usage; servers=("$2"); shift 2 ;;
        --server=*) servers=("${1#--server=}"); shift ;;
        *) usage ;;
    esac
done
case "${servers[0]}" in pulseaudio | pipewire) ;; *) usage ;; esac

build="$top/build"
options=(-DTRELVIK_BUILD_TESTS=ON -DTRELVIK_WERROR=ON)
selection=()
if [ "$sanitize" = address ]; then
    build="$top/build-sanitize"
    options+=(-DTRELVIK_SANITIZE=address)
    trelvik_env_sanitizers "$top"
elif [ "$sanitize" = thread ]; then
    build="$top/build-tsan"
    options+=(-DTRELVIK_SANITIZE=thread)
    # The wave spool's test forks recording children from a threaded parent on purpose.
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=$top/tools/tsan.supp"
    selection=(-R '^test_(pulse_|capture_faults|player|chime|recorder|wizard_sound|wave_spool)')
fi
[ -n "${TRELVIK_BUILD_DIR:-}" ] && build="$(realpath -m "$TRELVIK_BUILD_DIR")"

trelvik_install_packages "${TRELVIK_RUNTIME_PACKAGES[@]}" "${TRELVIK_TEST_PACKAGES[@]}" || exit 1
TRELVIK_BUILD_DIR="$build" trelvik_build "$top" "${options[@]}" || exit 1
if [ "$sanitize" = thread ]; then
    # Children started the way QProcess starts them confuse the sanitizer (tools/tsan_noclone.c).
    cc -shared -fPIC -O2 -o "$build/tsan_noclone.so" "$top/tools/tsan_noclone.c" -ldl || exit 1
    export LD_PRELOAD="$build/tsan_noclone.so"
fi

logdir="$(mktemp -d /tmp/trelvik-ctest.XXXXXX)"
trap 'trelvik_env_stop; rm -rf "$logdir"' EXIT
trap 'exit 130' INT TERM

# The counts of a CTest run from its output: "passed failed skipped", or nothing when it did not
# get to its closing line. CTest counts a skipped test among the passed ones.
counts() { # log
    awk '
        / tests passed, [0-9]+ tests? failed out of [0-9]+/ {
            failed = $4; total = $NF; done = 1
        }
        /^[[:space:]]*[0-9]+ - .*\(Skipped\)$/ { skipped++ }
        END { if (done) print total - failed - skipped, failed, skipped + 0 }' "$1"
}

# The names of the tests a CTest run lists as failed, on one line.
failures() { # log
    awk '/^[[:space:]]*[0-9]+ - .*\((Failed|Timeout|Not Run|SEGFAULT|Subprocess aborted|Exception)\)$/ { printf "%s%s", sep, $3; sep = " " }' "$1"
}

summary=()
status=0
all=(0 0 0)
for server in "${servers[@]}"; do
    echo "=== test.sh: the tests against $server"
    log="$logdir/$server.log"
    if trelvik_env_start "$server"; then
        (cd "$build" && ctest --output-on-failure -j 2 --timeout 300 "${selection[@]}") 2>&1 | tee "$log"
        result=$?
        read -r passed failed skipped <<<"$(counts "$log")"
        again=
        if [ "$result" -ne 0 ] && [ -n "${passed:-}" ] && [ "$failed" -gt 0 ]; then
            # A virtual machine that holds threads up for 20 to 100 ms, real-time ones too, makes
            # PipeWire's graph drop whole cycles and its null sink's clock lose that time, and lets
            # a player run dry on either server: a sample-exact or wall-clock check can then fail on
            # a take the program made right. The tests that failed run up to twice more, one at a
            # time; the summary names them, and one that fails every time fails the run.
            first="$(failures "$log")"
            refailed=$failed
            for try in 2 3; do
                echo "=== test.sh: against $server, try $try, alone: $(failures "$log")"
                (cd "$build" && ctest --output-on-failure --timeout 300 --rerun-failed) 2>&1 | tee "$log.$try"
                result=$?
                read -r _ refailed _ <<<"$(counts "$log.$try")"
                [ -n "${refailed:-}" ] || break
                log="$log.$try"
                [ "$refailed" -gt 0 ] || break
            done
            if [ -n "${refailed:-}" ]; then
                again=" (failed at first: $first; $refailed of them failed on every try)"
                passed=$((passed + failed - refailed))
                failed=$refailed
            else
                again=" (failed at first: $first; CTest did not finish running them again)"
            fi
        fi
        if [ -n "${passed:-}" ]; then
            summary+=("$server: $passed passed, $failed failed, $skipped skipped$again")
            all=($((all[0] + passed)) $((all[1] + failed)) $((all[2] + skipped)))
        else
            summary+=("$server: CTest did not finish (status $result)")
        fi
    else
        result=1
        summary+=("$server: the test environment did not start")
    fi
    trelvik_env_stop
    [ "$result" -eq 0 ] || status=1
done

echo "=== test.sh: summary"
printf '%s\n' "${summary[@]}"
[ ${#servers[@]} -gt 1 ] && echo "total: ${all[0]} passed, ${all[1]} failed, ${all[2]} skipped"
exit $status
