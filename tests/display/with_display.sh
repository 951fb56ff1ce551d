#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a command on a private virtual display, in a private session:
#
#   with_display.sh [--wayland] <command> [<argument>...]
#
# Xvfb takes the first free display number itself, so parallel runs never
# race for one; with --wayland the command sees only weston, run inside it.
# Fresh HOME and XDG_* folders and a session bus of its own: nothing of the
# user's leaks in or out, and nothing started on the bus outlives the run.
# Exits with the command's status, every server stopped on every way out; a
# missing tool or a server that does not come up: status 1 and a FAIL line
# naming it, with the end of the server's output.
set -u

WAYLAND=no
[ "${1:-}" = --wayland ] && { WAYLAND=yes; shift; }
[ $# -gt 0 ] || { echo "usage: with_display.sh [--wayland] <command> [<argument>...]" >&2; exit 2; }

need() { command -v "$1" >/dev/null 2>&1 || { echo "FAIL: $1 not found (Debian package $2)"; exit 1; }; }
need Xvfb xvfb
need dbus-daemon dbus-daemon
[ "$WAYLAND" = no ] || need weston weston

STATE=$(mktemp -d /tmp/tavmar-display.XXXXXX) || { echo "FAIL: cannot make a temporary folder"; exit 1; }
STARTED="" # the processes started here, the last one first

# Ends every process this script started: SIGTERM, then SIGKILL after 5 s.
cleanup() {
    local pid
    for pid in $STARTED; do
        kill -TERM "$pid" 2>/dev/null || continue
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
    done
    rm -rf "$STATE"
}
trap cleanup EXIT
trap 'exit 129' HUP; trap 'exit 130' INT; trap 'exit 143' TERM
fail_start() { echo "FAIL: $1"; tail -n 20 "$2"; exit 1; }

export HOME="$STATE/home" XDG_CONFIG_HOME="$STATE/config" XDG_CACHE_HOME="$STATE/cache" \
    XDG_DATA_HOME="$STATE/data" XDG_RUNTIME_DIR="$STATE/runtime" QT_QPA_PLATFORM=xcb
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY WAYLAND_SOCKET DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER

mkfifo "$STATE/display"
# -noreset: a program that starts right after the last one ended must not
# meet the server resetting.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$STATE/display" >"$STATE/xvfb.log" 2>&1 &
STARTED="$! $STARTED"
# The number arrives once the server accepts clients; a server that ends
# first closes the pipe.
read -r -t 15 number <"$STATE/display" ||
    fail_start "the X server (Xvfb) ended while starting, or did not come up within 15 s" "$STATE/xvfb.log"
export DISPLAY=":$number"

# The session bus, started here rather than by dbus-run-session so that the
# cleanup ends it on every way out, a timeout's signal included.
mkfifo "$STATE/bus"
dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$STATE/bus" >"$STATE/bus.log" 2>&1 &
STARTED="$! $STARTED"
read -r -t 15 DBUS_SESSION_BUS_ADDRESS <"$STATE/bus" ||
    fail_start "the session bus (dbus-daemon) ended while starting, or did not come up within 15 s" "$STATE/bus.log"
export DBUS_SESSION_BUS_ADDRESS

if [ "$WAYLAND" = yes ]; then
    # Pixman: no OpenGL; no user weston.ini; the screen never locks.
    weston --backend=x11-backend.so --use-pixman --width=1024 --height=768 --no-config \
        --idle-time=0 --socket=wayland-tavmar >"$STATE/weston.log" 2>&1 &
    STARTED="$! $STARTED"
    # The socket appears listening once the backend is up; clients that
    # connect before the shell is loaded are served after it.
    for i in $(seq 200); do
        [ -S "$XDG_RUNTIME_DIR/wayland-tavmar" ] && break
        kill -0 "${STARTED%% *}" 2>/dev/null || fail_start "weston ended while starting" "$STATE/weston.log"
        [ "$i" -lt 200 ] || fail_start "weston did not come up within 20 s" "$STATE/weston.log"
        sleep 0.1
    done
    export WAYLAND_DISPLAY="$XDG_RUNTIME_DIR/wayland-tavmar" QT_QPA_PLATFORM=wayland
    unset DISPLAY
fi

# In the background, so that a signal reaches the traps at once.
"$@" &
STARTED="$! $STARTED"
wait "${STARTED%% *}"
status=$?
STARTED=${STARTED#* } # ended and waited for: never signalled again
exit "$status"
