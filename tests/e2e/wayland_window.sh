#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The program as a native Wayland client, with no settings file and under
# another file name than its desktop entry's. Its protocol log must show the
# toplevel titled with the caption and with the entry's id as app_id; SIGTERM
# must end it with status 0 and the five fields saved in the [V0.2] section.
#
#   tests/display/with_display.sh --wayland bash wayland_window.sh <program> <desktop entry>
set -u

[ $# -eq 2 ] || { echo "usage: wayland_window.sh <path to tavmar-velmora> <desktop entry>" >&2; exit 2; }
PROGRAM=$1
APP_ID=$(basename "$2" .desktop)
TITLE="Tavmar Velmora 0.2.0"
[ -n "${WAYLAND_DISPLAY:-}" ] ||
    { echo "FAIL: no Wayland display (run under tests/display/with_display.sh --wayland)"; exit 1; }
[ -x "$PROGRAM" ] || { echo "FAIL: program not found: $PROGRAM"; exit 1; }
[ -f "$2" ] || { echo "FAIL: desktop entry not found: $2"; exit 1; }

WORK=$(mktemp -d /tmp/tavmar-wayland.XXXXXX)
LOG="$WORK/program.log"
APP_PID=""
trap '[ -z "$APP_PID" ] || kill -KILL "$APP_PID" 2>/dev/null; rm -rf "$WORK"' EXIT

fail() {
    echo "FAIL: $*"
    grep -q 'platform plugin "wayland"' "$LOG" && echo "(Debian package qt6-wayland missing?)"
    grep -vE '^\[ *[0-9]+\.[0-9]+\] ' "$LOG" | tail -n 20 # the program's output, not the protocol
    exit 1
}

# Without its own app_id Qt would send this file name.
cp "$PROGRAM" "$WORK/renamed-program"
WAYLAND_DEBUG=client "$WORK/renamed-program" >"$LOG" 2>&1 &
APP_PID=$!

# Shown: a buffer attached after the compositor's first configure. The protocol
# log names objects as interface@id, or interface#id from libwayland 1.23 (Debian 13).
for i in $(seq 100); do
    grep -qE -- '-> xdg_surface[@#][0-9]+\.ack_configure\(' "$LOG" &&
        grep -qE -- '-> wl_surface[@#][0-9]+\.attach\(wl_buffer[@#]' "$LOG" && break
    kill -0 "$APP_PID" 2>/dev/null || fail "the program ended before its window was shown"
    [ "$i" -lt 100 ] || fail "no window shown within 20 s"
    sleep 0.2
done
sleep 1

# The last value each request set: "<title>" and "<app_id>".
last_request() { sed -nE "s/.*-> xdg_toplevel[@#][0-9]+\\.$1\\(\"(.*)\"\\)\$/\\1/p" "$LOG" | tail -n 1; }
title=$(last_request set_title)
app_id=$(last_request set_app_id)
[ "$title" = "$TITLE" ] || fail "toplevel title \"$title\", not \"$TITLE\""
[ "$app_id" = "$APP_ID" ] || fail "toplevel app_id \"$app_id\", not the desktop entry's id \"$APP_ID\""

kill -TERM "$APP_PID"
for _ in $(seq 50); do kill -0 "$APP_PID" 2>/dev/null || break; sleep 0.2; done
kill -0 "$APP_PID" 2>/dev/null && fail "program still running 10 s after SIGTERM"
wait "$APP_PID" || fail "program exited with status $? after SIGTERM"
APP_PID=""

SETTINGS="$XDG_CONFIG_HOME/Tavmar Velmora/Tavmar Velmora.ini"
grep -qxF '[V0.2]' "$SETTINGS" || fail "no [V0.2] section in a settings file after SIGTERM"
for key in InputFile InputFileStart InputFileStop OutputFile OutputFileStart; do
    grep -q "^$key=" "$SETTINGS" || fail "settings lack $key"
done
echo "PASS: toplevel \"$title\", app_id \"$app_id\"; status 0 after SIGTERM, the five fields saved"
