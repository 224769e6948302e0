# Shared set-up for scripts/run, scripts/test and the benchmarks: install the
# Debian packages that are missing, then configure and build. Sourced, not run.

LUMACAST_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
LUMACAST_BUILD=${LUMACAST_BUILD:-$LUMACAST_ROOT/build}

# What the build needs, what the program needs at run time (with libsoup 3,
# which GStreamer's HTTP source takes over libsoup 2 where both are there, as
# on every GNOME desktop), the independent clients the tests talk to, and the
# desktops that the desktop tests drive the program under: an X server with a
# window manager and a tray of either kind (trayer's XEmbed tray; Xfce's
# panel, a StatusNotifierItem host, on a session bus of its own), and a
# Wayland session (Weston with XWayland, and Qt's Wayland platform, which the
# program is to pass over there), the font whose metrics the dialog layout
# tests know, the browsers that play the viewers' page (WebKitGTK's through its
# WebDriver), the media players that
# play the stream (VLC, mpv; ffplay comes with ffmpeg, gst-play-1.0 with the
# base plugins' tools), the PipeWire desktop (with its PulseAudio server)
# whose virtual devices the real-device tests use, nginx with its RTMP
# module for the example relay cluster that the program publishes to, and
# systemd's and man's own checks of the service unit and the manual pages.
LUMACAST_PACKAGES=(
    cmake g++ pkg-config
    qt6-base-dev qt6-svg-dev libgl-dev libxcb1-dev
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
    libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev
    libgtest-dev libgmock-dev
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-alsa
    gstreamer1.0-pipewire gstreamer1.0-plugins-base-apps
    gstreamer1.0-libav gstreamer1.0-plugins-ugly libsoup-3.0-0
    ffmpeg curl libsodium-dev libssl-dev testssl.sh
    xvfb xdotool openbox trayer x11-utils libx11-dev fonts-dejavu-core
    xfce4-panel dbus-daemon dbus-bin weston xwayland qt6-wayland
    chromium firefox-esr webkit2gtk-driver nodejs iproute2
    vlc-bin vlc-plugin-base mpv
    gstreamer1.0-pulseaudio pipewire pipewire-bin wireplumber pipewire-pulse pulseaudio-utils dbus
    nginx libnginx-mod-rtmp
    systemd man-db bsdextrautils
)
# Packaging and the package test: dpkg-shlibdeps computes the package's
# dependencies, debootstrap makes the clean Debian system it is installed into.
LUMACAST_PACKAGE_TOOLS=(dpkg-dev debootstrap)
# The browser test's npm packages come through npm: Debian's package where the
# installed Node.js brings no npm of its own.
command -v npm > /dev/null 2>&1 || LUMACAST_PACKAGES+=(npm)

# lumacast_install PACKAGE...: apt-get install whatever is not installed yet.
lumacast_install() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq || return 1
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" || return 1
}

# lumacast_build [TARGET...]: configure and build (everything, or the
# targets named) with two jobs.
lumacast_build() {
    cmake -S "$LUMACAST_ROOT" -B "$LUMACAST_BUILD" --log-level=WARNING > /dev/null || return 1
    local targets=()
    [ $# -gt 0 ] && targets=(--target "$@")
    cmake --build "$LUMACAST_BUILD" -j 2 "${targets[@]}" || return 1
}
