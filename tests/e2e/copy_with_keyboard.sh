#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# End-to-end: drives the real program on an X server with real key events.
#
#   tests/display/with_display.sh bash copy_with_keyboard.sh <program> [<desktop entry>]
#
# Run 1, fresh settings: types all five fields and copies bytes 101..5000 of a
# random input into an existing output file at position 3001; the bytes
# around the copied range must stay as they were.  Exit saves the fields.
# Run 2: the fields must come back from the settings, so only the output path
# is retyped (a new file) and the same range lands at 3001 of that file.
# Given the desktop entry, the window's WM_CLASS must match its StartupWMClass,
# so desktops can tie the running window to the entry.
# Run 1 starts with Qt's -qwindowtitle and -reverse, which must change nothing.
# Runs 1 and 2 have no session bus and must leave none running (libdbus
# would autolaunch one through the X server where dbus-x11 is installed).
# Run 3, on the display's session bus: run 2's fields up
# to the end of an input now 2.5 blocks long from byte 101 must send the
# taskbar entry's progress, growing, then cleared.
# Run 4, key codes: on a French layout a dead key then Alt+S starts the copy
# and types nothing; on a Russian layout Alt+B types nothing, Alt+S Space Esc
# start as typed and abort; a close during a box waits for its dismissal.
# A missing tool or display fails the test, naming it.
set -u

PROGRAM=${1:?usage: copy_with_keyboard.sh <path to tavmar-velmora> [<desktop entry>]}
DESKTOP_ENTRY=${2:-}
TITLE="Tavmar Velmora 0.2.0"
TITLE_RE="^Tavmar Velmora 0\.2\.0"

for tool in xdotool xprop python3 timeout pgrep dbus-monitor setxkbmap flock; do
    command -v "$tool" >/dev/null 2>&1 || { echo "FAIL: $tool not found"; exit 1; }
done
if [ -z "${DISPLAY:-}" ]; then
    echo "FAIL: no X display (run under tests/display/with_display.sh)"
    exit 1
fi
if [ ! -x "$PROGRAM" ]; then
    echo "FAIL: program not found: $PROGRAM"
    exit 1
fi

WORK=$(mktemp -d /tmp/tavmar-e2e.XXXXXX)
APP_PID=""
cleanup() {
    if [ -n "$APP_PID" ] && kill -0 "$APP_PID" 2>/dev/null; then
        kill "$APP_PID" 2>/dev/null
        sleep 0.5
        kill -9 "$APP_PID" 2>/dev/null
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    if [ -f "$WORK/program.log" ]; then
        echo "--- program output ---"
        cat "$WORK/program.log"
    fi
    echo "--- windows on the display ---"
    local w
    for w in $(timeout 5 xdotool search --onlyvisible --name "" 2>/dev/null); do
        echo "$w: $(timeout 5 xdotool getwindowname "$w" 2>/dev/null)"
    done
    echo "--- settings folder ---"
    find "$XDG_CONFIG_HOME" -type f -print -exec cat {} \;
    exit 1
}

INPUT="$WORK/input.bin"
OUTPUT="$WORK/output.bin"
OUTPUT2="$WORK/output-new.bin"
head -c 102400 /dev/urandom >"$INPUT"
head -c 20000 /dev/urandom >"$OUTPUT"
cp "$OUTPUT" "$WORK/output.before"

# The one visible window whose name matches the pattern, waiting at most
# $2 seconds; prints its id.
wait_window() {
    local pattern=$1 seconds=$2 ids
    local tries=$((seconds * 5))
    while [ "$tries" -gt 0 ]; do
        ids=$(timeout 5 xdotool search --onlyvisible --name "$pattern" 2>/dev/null)
        if [ -n "$ids" ]; then
            echo "$ids" | head -n 1
            return 0
        fi
        if [ -n "$APP_PID" ] && ! kill -0 "$APP_PID" 2>/dev/null; then
            return 1
        fi
        sleep 0.2
        tries=$((tries - 1))
    done
    return 1
}

# Gives the window the keyboard: activation needs a window manager, so fall
# back to setting the input focus directly.
focus_window() {
    local id=$1
    if ! timeout 5 xdotool windowactivate --sync "$id" >/dev/null 2>&1; then
        timeout 5 xdotool windowfocus --sync "$id" >/dev/null 2>&1 ||
            timeout 5 xdotool windowfocus "$id" >/dev/null 2>&1
    fi
    sleep 0.3
}

keys() { timeout 10 xdotool key --delay 60 "$@" || fail "xdotool key $*"; }
type_text() { timeout 20 xdotool type --delay 20 -- "$1" || fail "xdotool type $1"; }
replace_field() { keys ctrl+a; type_text "$1"; }

start_program() {
    "$PROGRAM" "$@" >"$WORK/program.log" 2>&1 &
    APP_PID=$!
    MAIN=$(wait_window "${TITLE_RE}\$" 20) || fail "main window \"$TITLE\" did not appear"
    focus_window "$MAIN"
}

# Presses Return (Start) and dismisses the completion box; an error box fails.
start_and_confirm() {
    keys Return
    local box name
    box=$(wait_window "${TITLE_RE} - (Information|Error)\$" 15) ||
        fail "no completion box within 15 s"
    name=$(timeout 5 xdotool getwindowname "$box")
    [ "$name" = "$TITLE - Information" ] || fail "got box \"$name\" instead of the completion box"
    focus_window "$box"
    keys Return
    local tries=50
    while timeout 5 xdotool search --onlyvisible --name "${TITLE_RE} - Information\$" >/dev/null 2>&1; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || fail "completion box did not close on Return"
        sleep 0.1
    done
}

# Sends WM_DELETE_WINDOW, what a window manager's close button does.
close_like_window_manager() {
    python3 - "$1" <<'PY'
import ctypes, sys
x = ctypes.cdll.LoadLibrary("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x.XFlush.argtypes = [ctypes.c_void_p]
class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]
class Event(ctypes.Union):
    _fields_ = [("client", ClientMessage), ("pad", ctypes.c_long * 24)]
d = x.XOpenDisplay(None)
window = int(sys.argv[1])
ev = Event()
ev.client.type = 33  # ClientMessage
ev.client.window = window
ev.client.message_type = x.XInternAtom(d, b"WM_PROTOCOLS", 0)
ev.client.format = 32
ev.client.data[0] = x.XInternAtom(d, b"WM_DELETE_WINDOW", 0)
x.XSendEvent(d, window, 0, 0, ctypes.byref(ev))
x.XFlush(d)
PY
}

# Presses keys by key code 20 ms apart, as a keyboard does (xdotool sends the
# Latin letters): "64+39" is Alt+S, "0.5" a pause of half a second.
xtest() {
    timeout 10 python3 - "$@" <<'PY' || fail "XTest key codes $*"
import ctypes, sys, time
x, t = ctypes.cdll.LoadLibrary("libX11.so.6"), ctypes.cdll.LoadLibrary("libXtst.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
d = ctypes.c_void_p(x.XOpenDisplay(None))
for token in sys.argv[1:]:
    codes = [] if "." in token else [int(c) for c in token.split("+")]
    for code, down in [(c, 1) for c in codes] + [(c, 0) for c in reversed(codes)]:
        t.XTestFakeKeyEvent(d, code, down, ctypes.c_ulong(0))
    x.XSync(d, 0)
    time.sleep(float(token) if "." in token else 0.02)
PY
}

# Exits with Alt+X (the Exit button's access key); falls back to the window
# manager's close request.  The process must end with status 0.
exit_program() {
    # Without a window manager nobody hands the focus back after a box closes.
    focus_window "$MAIN"
    keys alt+x
    local tries=25
    while kill -0 "$APP_PID" 2>/dev/null && [ "$tries" -gt 0 ]; do
        sleep 0.2
        tries=$((tries - 1))
    done
    if kill -0 "$APP_PID" 2>/dev/null; then
        echo "note: Alt+X did not end the program; sending a close request"
        close_like_window_manager "$MAIN"
        tries=25
        while kill -0 "$APP_PID" 2>/dev/null && [ "$tries" -gt 0 ]; do
            sleep 0.2
            tries=$((tries - 1))
        done
    fi
    kill -0 "$APP_PID" 2>/dev/null && fail "program still running 10 s after the close request"
    wait "$APP_PID"
    local status=$?
    APP_PID=""
    [ "$status" -eq 0 ] || fail "program exited with status $status"
}

settings_hold() {
    grep -rqF -- "$1" "$XDG_CONFIG_HOME"
}

# ---- run 1: fresh settings, every field typed ----
BUS_ADDRESS=${DBUS_SESSION_BUS_ADDRESS:-}
unset DBUS_SESSION_BUS_ADDRESS
autolaunched() { pgrep -f 'dbus-launch --autolaunch' | sort; }
AUTOLAUNCHED_BEFORE=$(autolaunched)
start_program -qwindowtitle Hijacked -reverse

if [ -n "$DESKTOP_ENTRY" ]; then
    wanted=$(sed -n 's/^StartupWMClass=//p' "$DESKTOP_ENTRY")
    # WM_CLASS(STRING) = "instance", "class"
    class=$(timeout 5 xprop -id "$MAIN" WM_CLASS | sed -n 's/.*", "\(.*\)"$/\1/p')
    [ -n "$wanted" ] || fail "no StartupWMClass in $DESKTOP_ENTRY"
    [ "$class" = "$wanted" ] ||
        fail "window class \"$class\" differs from StartupWMClass \"$wanted\" in the desktop entry"
    echo "window class \"$class\" matches the desktop entry"
fi
replace_field "$INPUT"
keys Tab; replace_field 101
keys Tab; replace_field 5000
keys Tab; replace_field "$OUTPUT"
keys Tab; replace_field 3001
start_and_confirm

{
    head -c 3000 "$WORK/output.before"
    tail -c +101 "$INPUT" | head -c 4900
    tail -c +7901 "$WORK/output.before"
} >"$WORK/expected1"
cmp "$WORK/expected1" "$OUTPUT" || fail "run 1: output differs from bytes 101..5000 written at 3001"
echo "run 1: output matches ($(stat -c %s "$OUTPUT") bytes)"

exit_program
settings_hold "$INPUT" || fail "settings under XDG_CONFIG_HOME do not hold the input path"
settings_hold "$OUTPUT" || fail "settings under XDG_CONFIG_HOME do not hold the output path"
echo "run 1: program exited, settings hold the typed paths"

# ---- run 2: the fields come back from the settings ----
start_program
keys Tab Tab Tab
replace_field "$OUTPUT2"
keys Tab
start_and_confirm

{
    head -c 3000 /dev/zero
    tail -c +101 "$INPUT" | head -c 4900
} >"$WORK/expected2"
cmp "$WORK/expected2" "$OUTPUT2" ||
    fail "run 2: new output differs (were first byte 101, last byte 5000, position 3001 restored?)"
echo "run 2: restored fields copied the same range into a new file"

exit_program
settings_hold "$OUTPUT2" || fail "settings do not hold the output path typed in run 2"

[ "$(autolaunched)" = "$AUTOLAUNCHED_BEFORE" ] ||
    fail "runs 1 and 2 had no session bus, and one was autolaunched that outlives the program"
echo "runs 1 and 2: no session bus, none left running"

# ---- run 3: the copy's progress on the taskbar entry ----
export DBUS_SESSION_BUS_ADDRESS=$BUS_ADDRESS
# The display's own session bus; runs 1 and 2 went without one.
[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || fail "run 3: no session bus (run under tests/display/with_display.sh)"
dbus-monitor "type='signal',interface='com.canonical.Unity.LauncherEntry'" >"$WORK/monitor.log" 2>&1 &
MONITOR_PID=$!
trap 'kill "$MONITOR_PID" 2>/dev/null; cleanup' EXIT

head -c $((10485760 * 5 / 2 + 100)) /dev/urandom >"$INPUT"
start_program
keys Tab Tab
replace_field 0
start_and_confirm
cmp "$INPUT" "$OUTPUT2" 100 3000 || fail "run 3: output differs from the input from byte 101 on"
exit_program
sleep 0.5 # the monitor prints what the bus has passed on

# One line per signal: "<progress> <progress-visible>".
updates=$(awk '/member=Update/ { if (n++) print p, v; p = v = "" }
    /variant +double/ { p = $NF } /variant +boolean/ { v = $NF }
    END { if (n) print p, v }' "$WORK/monitor.log" | tr '\n' ',')
grep -qF 'string "application://tavmar-velmora.desktop"' "$WORK/monitor.log" || fail "run 3: no signal for the entry"
# Shown at the start, after each of the two whole blocks, then cleared.
[ "$updates" = "0 true,0.4 true,0.8 true,0 false," ] ||
    fail "run 3: expected taskbar progress 0, 0.4, 0.8, then cleared; got $updates"
echo "run 3: taskbar progress $updates"

# ---- run 4: key codes on a French, then a Russian layout ----
start_program
# Set while the program is connected: a server with no client resets its keymap.
setxkbmap fr || fail "setxkbmap fr"
# Tab 23, End 115, dead circumflex 34, Alt 64, S 39: starts, types nothing.
xtest 23 23 23 115 0.2 34 64+39 0.3
flock -n "$OUTPUT2" true && fail "run 4: a dead key then Alt+S did not start the copy"
xtest 9 0.3
setxkbmap -layout ru,us || fail "setxkbmap ru,us"
# B 56, Space 65, Esc 9.
xtest 64+56 64+39 65 9
wait_window "${TITLE_RE} - " 4 >/dev/null && fail "run 4: a box opened: the copy was not aborted"
[ -z "$(find "$WORK" -name "$(basename "$OUTPUT2")?*")" ] || fail "run 4: Alt+B or Space reached the path"
# Tab, the key of A ("ф"), Return: "Error converting start/stop values".
xtest 23 38 36
box=$(wait_window "${TITLE_RE} - Error\$" 10) || fail "run 4: no error box"
close_like_window_manager "$MAIN"
sleep 0.5; kill -0 "$APP_PID" 2>/dev/null || fail "run 4: the close did not wait for the box"
focus_window "$box"
xtest 36
for _ in $(seq 50); do kill -0 "$APP_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$APP_PID" 2>/dev/null && fail "run 4: the close asked for during the box was dropped"
wait "$APP_PID" || fail "run 4: program exited with status $?"
APP_PID=""
echo "run 4: Alt typed nothing, Alt+S and Esc acted at their presses; the close waited for the box"

# ---- run 5: holes stay holes ----
# A 30 MiB input holding 4 KiB of data at 0, 12 and 25 MiB, the rest holes;
# bytes 1 MiB + 1 to 20 MiB go into a new file, which allocates only its data.
SPARSE="$WORK/sparse.bin"
OUTPUT3="$WORK/output-sparse.bin"
truncate -s 30M "$SPARSE"
for mib in 0 12 25; do
    head -c 4096 /dev/urandom | dd of="$SPARSE" bs=1M seek="$mib" conv=notrunc status=none
done
start_program
replace_field "$SPARSE"
keys Tab; replace_field 1048577
keys Tab; replace_field 20971520
keys Tab; replace_field "$OUTPUT3"
keys Tab; replace_field 1
start_and_confirm
tail -c +1048577 "$SPARSE" | head -c 19922944 | cmp - "$OUTPUT3" ||
    fail "run 5: output differs from bytes 1048577..20971520 of the sparse input"
blocks=$(stat -c %b "$OUTPUT3")
[ "$blocks" -le 16 ] || fail "run 5: the output allocates $blocks blocks of 512 bytes for 4 KiB of data"
echo "run 5: $(stat -c %s "$OUTPUT3") bytes holding 4 KiB of data allocate $((blocks * 512)) bytes"
exit_program
echo "PASS"
