#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a command on a private virtual display and stops the display again:
#
#   with_display.sh [--wayland] [--] <command> [<argument>...]
#
# Starts Xvfb (one 1024x768 screen, 24 bits) and exports DISPLAY. Xvfb picks
# the display number itself (-displayfd: it takes the first free number and
# reports it once it accepts connections), so parallel runs never race for
# one. With --wayland it also starts weston inside that X server, with the
# X11 backend, which gives the compositor a seat with a keyboard and a
# pointer, and exports WAYLAND_DISPLAY as the absolute path of its socket, so
# the command may change XDG_RUNTIME_DIR. Without --wayland no
# WAYLAND_DISPLAY reaches the command.
#
# Exits with the command's status. Every server it started is stopped on
# every way out: the command ending, a signal, a server that does not come
# up. A missing tool or a server that does not come up ends it with status 1
# and a FAIL line naming it, followed by the server's own output.
set -u

WAYLAND=no
while [ $# -gt 0 ]; do
    case $1 in
    --wayland) WAYLAND=yes; shift ;;
    --) shift; break ;;
    -*) echo "with_display.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
    esac
done
if [ $# -eq 0 ]; then
    echo "usage: with_display.sh [--wayland] [--] <command> [<argument>...]" >&2
    exit 2
fi

# tool package
need() {
    command -v "$1" >/dev/null 2>&1 || { echo "FAIL: $1 not found (Debian package $2)"; exit 1; }
}
need Xvfb xvfb
[ "$WAYLAND" = no ] || need weston weston

STATE=$(mktemp -d /tmp/tavmar-display.XXXXXX) || { echo "FAIL: cannot make a temporary folder"; exit 1; }
XVFB_PID=""
WESTON_PID=""
COMMAND_PID=""

# Ends one process this script started: SIGTERM, then SIGKILL after 5 s.
stop() {
    local pid=$1 tries=50
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    while kill -0 "$pid" 2>/dev/null && [ "$tries" -gt 0 ]; do
        sleep 0.1
        tries=$((tries - 1))
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}
cleanup() {
    stop "$COMMAND_PID"
    stop "$WESTON_PID"
    stop "$XVFB_PID"
    rm -rf "$STATE"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# what log
fail_start() {
    echo "FAIL: $1"
    if [ -s "$2" ]; then
        echo "--- ${2##*/} ---"
        tail -n 30 "$2"
    fi
    exit 1
}

# ---- the X server ----
: >"$STATE/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$STATE/display" >"$STATE/xvfb.log" 2>&1 &
XVFB_PID=$!
number=""
tries=150
while [ "$tries" -gt 0 ]; do
    # The number arrives with its newline once the server accepts clients.
    IFS= read -r number <"$STATE/display" && [ -n "$number" ] && break
    number=""
    kill -0 "$XVFB_PID" 2>/dev/null || fail_start "the X server (Xvfb) ended while starting" "$STATE/xvfb.log"
    sleep 0.1
    tries=$((tries - 1))
done
[ -n "$number" ] || fail_start "the X server (Xvfb) did not come up within 15 s" "$STATE/xvfb.log"
export DISPLAY=":$number"
unset WAYLAND_DISPLAY WAYLAND_SOCKET

# ---- the Wayland compositor inside it ----
if [ "$WAYLAND" = yes ]; then
    mkdir -m 700 "$STATE/runtime"
    # Pixman: the compositor draws without OpenGL; no user weston.ini; the
    # screen never locks.
    XDG_RUNTIME_DIR="$STATE/runtime" weston --backend=x11-backend.so --use-pixman \
        --width=1024 --height=768 --no-config --idle-time=0 --socket=wayland-tavmar \
        >"$STATE/weston.log" 2>&1 &
    WESTON_PID=$!
    socket="$STATE/runtime/wayland-tavmar"
    tries=200
    # The socket appears listening once the backend is up; clients that
    # connect before the shell is loaded are served after it.
    while [ ! -S "$socket" ] && [ "$tries" -gt 0 ]; do
        kill -0 "$WESTON_PID" 2>/dev/null ||
            fail_start "the Wayland compositor (weston) ended while starting on $DISPLAY" "$STATE/weston.log"
        sleep 0.1
        tries=$((tries - 1))
    done
    [ -S "$socket" ] ||
        fail_start "the Wayland compositor (weston) did not come up within 20 s on $DISPLAY" "$STATE/weston.log"
    export WAYLAND_DISPLAY=$socket
fi

# In the background, so that a signal reaches the traps at once.
"$@" &
COMMAND_PID=$!
wait "$COMMAND_PID"
status=$?
COMMAND_PID=""
exit "$status"
