#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Takes docs/screenshot.png from the real program on a private virtual X
# server (tests/display/with_display.sh starts and stops it), with fresh
# settings and example values typed into the fields.  When openbox is
# installed it decorates the window, so the picture shows the caption too.
#
#   bash docs/make_screenshot.sh build/tavmar-velmora docs/screenshot.png
set -eu
if [ "${1:-}" != --on-display ]; then
    exec bash "$(dirname "$0")/../tests/display/with_display.sh" bash "$0" --on-display "$@"
fi
shift
PROGRAM=${1:?usage: make_screenshot.sh <program> <png>}
PNG=${2:?usage: make_screenshot.sh <program> <png>}
WORK=$(mktemp -d /tmp/tavmar-shot.XXXXXX)
APP_PID=""
WM_PID=""
trap 'kill $APP_PID $WM_PID 2>/dev/null || true; rm -rf "$WORK"' EXIT
export HOME="$WORK" XDG_CONFIG_HOME="$WORK/config" XDG_RUNTIME_DIR="$WORK/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=xcb

if command -v openbox >/dev/null 2>&1; then
    openbox >/dev/null 2>&1 &
    WM_PID=$!
    sleep 1
fi

"$PROGRAM" >/dev/null 2>&1 &
APP_PID=$!
WIN=$(timeout 20 xdotool search --sync --onlyvisible --name '^Tavmar Velmora 0\.2\.0$' | head -n 1)
timeout 5 xdotool windowactivate --sync "$WIN" 2>/dev/null ||
    timeout 5 xdotool windowfocus --sync "$WIN" || true
sleep 0.5
type_field() { xdotool key ctrl+a; xdotool type --delay 10 -- "$1"; }
type_field /home/user/disk.img
xdotool key Tab; type_field 513
xdotool key Tab; type_field 1024
xdotool key Tab; type_field /home/user/boot-sector.bin
xdotool key Tab; type_field 1
xdotool key shift+Tab shift+Tab shift+Tab shift+Tab
sleep 0.5
# The frame around the window, when a window manager drew one: the child of
# the root window that holds it.
ROOT=$(xwininfo -root | awk '/Window id:/ {print $4}')
SHOT=$WIN
while :; do
    PARENT=$(xwininfo -tree -id "$SHOT" | awk '/Parent window id:/ {print $4}')
    [ -n "$PARENT" ] && [ "$PARENT" != "$ROOT" ] || break
    SHOT=$PARENT
done
import -window "$SHOT" "$PNG"
