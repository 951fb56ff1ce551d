#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The program as a native Wayland client:
#
#   tests/display/with_display.sh --wayland bash wayland_window.sh <program> <desktop entry>
#
# Starts the program with QT_QPA_PLATFORM=wayland and no X display, with no
# settings file, under another file name than the desktop entry's. Its
# protocol log (WAYLAND_DEBUG) must show the toplevel titled with the caption
# and with the entry's id as app_id. SIGTERM must end it with status 0 and
# the five fields saved in the [V0.2] section.
set -u

usage="usage: wayland_window.sh <path to tavmar-velmora> <desktop entry>"
PROGRAM=${1:?$usage}
DESKTOP_ENTRY=${2:?$usage}
TITLE="Tavmar Velmora 0.2.0"
APP_ID=$(basename "$DESKTOP_ENTRY" .desktop)

command -v timeout >/dev/null 2>&1 || { echo "FAIL: timeout not found"; exit 1; }
if [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "FAIL: no Wayland display (run under tests/display/with_display.sh --wayland)"
    exit 1
fi
[ -x "$PROGRAM" ] || { echo "FAIL: program not found: $PROGRAM"; exit 1; }
[ -f "$DESKTOP_ENTRY" ] || { echo "FAIL: desktop entry not found: $DESKTOP_ENTRY"; exit 1; }

WORK=$(mktemp -d /tmp/tavmar-wayland.XXXXXX)
APP_PID=""
cleanup() {
    [ -z "$APP_PID" ] || kill -KILL "$APP_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    if grep -q 'platform plugin "wayland"' "$WORK/program.log" 2>/dev/null; then
        echo "(Qt's Wayland platform plugin is missing: Debian package qt6-wayland)"
    fi
    echo "--- program output, protocol log left out ---"
    grep -vE '^\[ *[0-9]+\.[0-9]+\] ' "$WORK/program.log" 2>/dev/null | tail -n 30
    echo "--- toplevel requests ---"
    grep -E 'xdg_toplevel@[0-9]+\.' "$WORK/program.log" 2>/dev/null | tail -n 10
    exit 1
}

export HOME="$WORK/home"
export XDG_CONFIG_HOME="$WORK/config"
export XDG_CACHE_HOME="$WORK/cache"
export XDG_DATA_HOME="$WORK/data"
export XDG_RUNTIME_DIR="$WORK/runtime"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=wayland
# Under LeakSanitizer: whole stacks, so the EGL driver's allocations can be
# told by their callers (it has no frame pointers); no effect otherwise.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}fast_unwind_on_malloc=0"
unset DISPLAY SESSION_MANAGER

# Without its own app_id Qt would send this file name.
cp "$PROGRAM" "$WORK/renamed-program"
WAYLAND_DEBUG=client "$WORK/renamed-program" >"$WORK/program.log" 2>&1 &
APP_PID=$!

# Shown: a buffer attached after the compositor's first configure.
tries=100
until grep -qE -- '-> xdg_surface@[0-9]+\.ack_configure\(' "$WORK/program.log" &&
    grep -qE -- '-> wl_surface@[0-9]+\.attach\(wl_buffer@' "$WORK/program.log"; do
    kill -0 "$APP_PID" 2>/dev/null || fail "the program ended before its window was shown"
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || fail "no window shown within 20 s"
    sleep 0.2
done
sleep 1
echo "window shown; resident memory $(sed -n 's/^VmRSS:[[:space:]]*//p' /proc/"$APP_PID"/status)"

# The last value each request set: "<title>" and "<app_id>".
last_request() {
    sed -nE "s/.*-> xdg_toplevel@[0-9]+\\.$1\\(\"(.*)\"\\)\$/\\1/p" "$WORK/program.log" | tail -n 1
}
title=$(last_request set_title)
app_id=$(last_request set_app_id)
[ "$title" = "$TITLE" ] || fail "toplevel title \"$title\", not \"$TITLE\""
[ "$app_id" = "$APP_ID" ] || fail "toplevel app_id \"$app_id\", not the desktop entry's id \"$APP_ID\""
echo "toplevel \"$title\", app_id \"$app_id\""

kill -TERM "$APP_PID"
tries=50
while kill -0 "$APP_PID" 2>/dev/null && [ "$tries" -gt 0 ]; do
    sleep 0.2
    tries=$((tries - 1))
done
kill -0 "$APP_PID" 2>/dev/null && fail "program still running 10 s after SIGTERM"
wait "$APP_PID"
status=$?
APP_PID=""
[ "$status" -eq 0 ] || fail "program exited with status $status after SIGTERM"

SETTINGS="$XDG_CONFIG_HOME/Tavmar Velmora/Tavmar Velmora.ini"
[ -f "$SETTINGS" ] || fail "no settings file after SIGTERM"
grep -qxF '[V0.2]' "$SETTINGS" || fail "no [V0.2] section in the settings"
for key in InputFile InputFileStart InputFileStop OutputFile OutputFileStart; do
    grep -q "^$key=" "$SETTINGS" || fail "settings lack $key"
done
echo "exit status 0 after SIGTERM, the five fields saved"
echo "PASS"
