# Shared by run.sh and test.sh: install what is missing, then configure and build in build/.
# Sourced, not run.

TRELVIK_RUNTIME_PACKAGES=(qt6-base-dev cmake g++ make pkg-config libpulse-dev libsndfile1-dev
    libxcb1-dev libxcb-keysyms1-dev libx11-dev pulseaudio pulseaudio-utils lame xdg-utils fonts-liberation2)
TRELVIK_TEST_PACKAGES=(xvfb xdotool x11-utils imagemagick sox libsox-fmt-all xauth)

trelvik_install_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq || return 1
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" || return 1
}

trelvik_build() {
    local top="$1"
    shift
    cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null || return 1
    cmake --build "$top/build" -j "$(nproc)" || return 1
}
