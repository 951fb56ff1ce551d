#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The real program under injected system call failures, on an X server:
#
#   tests/display/with_display.sh bash injected_faults.sh <program>
#
# Each run copies a 25 MiB input (three ticks of one second) into the middle
# of a 30 MiB output under `strace -f -P <output> -e inject=...`, which fails
# chosen calls on the output's descriptor only (and on the input's where a
# case adds `-P <input>`). The fields come from a settings file written
# beforehand; Return starts the copy. After the box
# that ends the copy the program must hold no descriptor on either file,
# the output must hold exactly the bytes the trace shows were written before
# the fault (and the old bytes everywhere else), and the program must still
# answer: Return closes the box and Alt+X ends it with status 0.
# A last run without strace puts a regular file where the settings folder
# goes: the program must still exit 0 and say on stderr that it could not
# save. Fails, naming it, when xdotool, strace, ptrace or a display is
# missing.
set -u

PROGRAM=${1:?usage: injected_faults.sh <path to tavmar-velmora>}
TITLE_RE="^Tavmar Velmora 0\.2\.0"
MiB=1048576

for tool in xdotool strace timeout; do
    command -v "$tool" >/dev/null 2>&1 || { echo "FAIL: $tool not found"; exit 1; }
done
if [ -z "${DISPLAY:-}" ]; then
    echo "FAIL: no X display (run under tests/display/with_display.sh)"
    exit 1
fi
if ! timeout 10 strace -f -o /dev/null true 2>/dev/null; then
    echo "FAIL: strace cannot trace here (ptrace not allowed)"
    exit 1
fi
[ -x "$PROGRAM" ] || { echo "FAIL: program not found: $PROGRAM"; exit 1; }

WORK=$(mktemp -d /tmp/tavmar-faults.XXXXXX)
RUN_PID=""
cleanup() {
    if [ -n "$RUN_PID" ] && kill -0 "$RUN_PID" 2>/dev/null; then
        kill "$RUN_PID" 2>/dev/null
        sleep 0.5
        kill -9 "$RUN_PID" 2>/dev/null
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

CASE=""
fail() {
    echo "FAIL [$CASE]: $*"
    [ -f "$WORK/program.log" ] && { echo "--- program output ---"; cat "$WORK/program.log"; }
    [ -f "$WORK/trace" ] && { echo "--- trace (last lines) ---"; tail -n 20 "$WORK/trace"; }
    exit 1
}

INPUT="$WORK/input.bin"
OUTPUT="$WORK/output.bin"
IN_START=1001
OUT_START=4097
head -c $((25 * MiB)) /dev/urandom >"$INPUT"
head -c $((30 * MiB)) /dev/urandom >"$WORK/output.before"
RANGE=$(($(stat -c %s "$INPUT") - IN_START + 1))

# The fields the program loads on start.
write_settings() {
    rm -rf "$XDG_CONFIG_HOME"
    mkdir -p "$XDG_CONFIG_HOME/Tavmar Velmora"
    cat >"$XDG_CONFIG_HOME/Tavmar Velmora/Tavmar Velmora.ini" <<EOF
[V0.2]
InputFile=$INPUT
InputFileStart=$IN_START
InputFileStop=0
OutputFile=$OUTPUT
OutputFileStart=$OUT_START
EOF
}

# The program's own process: strace's child.
program_pid() {
    local pid=$RUN_PID child
    child=$(ps -o pid= --ppid "$RUN_PID" 2>/dev/null | head -n 1 | tr -d ' ')
    [ -n "$child" ] && pid=$child
    echo "$pid"
}

wait_window() {
    local pattern=$1 tries=$(($2 * 5)) ids
    while [ "$tries" -gt 0 ]; do
        ids=$(timeout 5 xdotool search --onlyvisible --name "$pattern" 2>/dev/null)
        if [ -n "$ids" ]; then
            echo "$ids" | head -n 1
            return 0
        fi
        kill -0 "$RUN_PID" 2>/dev/null || return 1
        sleep 0.2
        tries=$((tries - 1))
    done
    return 1
}

focus_window() {
    timeout 5 xdotool windowfocus --sync "$1" >/dev/null 2>&1 ||
        timeout 5 xdotool windowfocus "$1" >/dev/null 2>&1
    sleep 0.2
}

keys() { timeout 10 xdotool key --delay 50 "$@" || fail "xdotool key $*"; }

# Gives the main window ($1) the keyboard and presses Alt+X (Exit); the
# program must end with status 0. Alt+X is pressed a second time if the
# first did not arrive (a lost focus on a loaded machine).
exit_with_alt_x() {
    local attempt tries
    for attempt in 1 2; do
        focus_window "$1"
        keys alt+x
        tries=25
        while kill -0 "$RUN_PID" 2>/dev/null && [ "$tries" -gt 0 ]; do
            sleep 0.2
            tries=$((tries - 1))
        done
        kill -0 "$RUN_PID" 2>/dev/null || break
        echo "note [$CASE]: still running 5 s after Alt+X (attempt $attempt)"
    done
    kill -0 "$RUN_PID" 2>/dev/null && fail "still running after two Alt+X"
    wait "$RUN_PID"
    local status=$?
    RUN_PID=""
    [ "$status" -eq 0 ] || fail "exited with status $status"
}

# Bytes that reached the output before the fault, from the trace: the sum of
# what the successful copy_file_range and pwrite64 calls on it returned.
bytes_written() {
    grep -E '(copy_file_range|pwrite64)' "$WORK/trace" |
        sed -nE 's/.*\) += ([0-9]+)$/\1/p' | awk '{ sum += $1 } END { print sum + 0 }'
}

# run_case NAME BOX KEPT INJECTED_SYSCALL -e inject=... [more strace options]
#   BOX: Error or Information, the box that must end the copy.
#   KEPT: all, part or none: how much of the range the output must hold.
#   INJECTED_SYSCALL: a call the trace must show as injected on the output.
run_case() {
    CASE=$1
    local box_kind=$2 expect_kept=$3 injected=$4
    shift 4
    write_settings
    cp "$WORK/output.before" "$OUTPUT"
    rm -f "$WORK/trace"
    local started=$SECONDS
    strace -f -qq -o "$WORK/trace" -P "$OUTPUT" "$@" "$PROGRAM" >"$WORK/program.log" 2>&1 &
    RUN_PID=$!
    local main box name
    main=$(wait_window "${TITLE_RE}\$" 20) || fail "main window did not appear"
    focus_window "$main"
    keys Return
    # A copy takes three ticks; no box after 6 s means the key was lost (a
    # second Return does nothing while a copy runs: Start is disabled).
    if ! box=$(wait_window "${TITLE_RE} - (Error|Information)\$" 6); then
        echo "note [$CASE]: no box 6 s after Return; pressing it again"
        focus_window "$main"
        keys Return
        box=$(wait_window "${TITLE_RE} - (Error|Information)\$" 10) || fail "no box after Return"
    fi
    name=$(timeout 5 xdotool getwindowname "$box")
    [ "$name" = "Tavmar Velmora 0.2.0 - $box_kind" ] || fail "got \"$name\""

    # The teardown ran before the box: neither file may still be open.
    local pid fd open=0
    pid=$(program_pid)
    [ "$pid" != "$RUN_PID" ] || fail "no program process under strace"
    for fd in /proc/"$pid"/fd/*; do
        case $(readlink "$fd" 2>/dev/null) in
        "$INPUT" | "$OUTPUT") open=$((open + 1)) ;;
        esac
    done
    [ "$open" -eq 0 ] || fail "$open descriptors still open on the files while the box shows"

    grep -qE "$injected.*\(INJECTED\)\$" "$WORK/trace" ||
        fail "the trace shows no injected $injected on the output (path filter missed it?)"

    focus_window "$box"
    keys Return
    local tries=25
    while timeout 5 xdotool search --onlyvisible --name "${TITLE_RE} - " >/dev/null 2>&1; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || fail "the box did not close on Return"
        sleep 0.2
    done
    exit_with_alt_x "$main"

    local kept
    kept=$(bytes_written)
    case $expect_kept in
    all) [ "$kept" -eq "$RANGE" ] ;;
    part) [ "$kept" -gt 0 ] && [ "$kept" -lt "$RANGE" ] ;;
    none) [ "$kept" -eq 0 ] ;;
    esac || fail "the trace shows $kept of $RANGE bytes written, wanted $expect_kept"
    {
        head -c $((OUT_START - 1)) "$WORK/output.before"
        tail -c +"$IN_START" "$INPUT" | head -c "$kept"
        tail -c +$((OUT_START + kept)) "$WORK/output.before"
    } >"$WORK/expected"
    cmp -s "$WORK/expected" "$OUTPUT" ||
        fail "output is not the old bytes with the first $kept bytes of the range at $OUT_START"
    echo "ok [$CASE]: $name, $kept of $RANGE bytes kept ($((SECONDS - started)) s)"
}

# The second copy_file_range call (tick 2) fails: the buffered copy takes the
# rest of the block over and the copy completes. write(2) is never used on
# the output, so failing it changes nothing.
run_case "copy_file_range EIO once, write EIO always" Information all copy_file_range \
    -e inject=copy_file_range:error=EIO:when=2 -e inject=write:error=EIO
# From tick 2 on copy_file_range fails and the buffered copy's third 1 MiB
# pwrite64 fails too: a device error in the middle of the second block.
run_case "copy_file_range and pwrite64 EIO in tick 2" Error part pwrite64 \
    -e inject=copy_file_range:error=EIO:when=2+ -e inject=pwrite64:error=EIO:when=3
# Only the buffered copy (as between two file systems), and the disk fills
# at the 15th MiB: in the second block.
run_case "pwrite64 ENOSPC in tick 2" Error part pwrite64 \
    -e inject=copy_file_range:error=EXDEV -e inject=pwrite64:error=ENOSPC:when=15
# copy_file_range itself reports a full disk in the first block.
run_case "copy_file_range ENOSPC in tick 1" Error none pwrite64 \
    -e inject=copy_file_range:error=ENOSPC -e inject=pwrite64:error=ENOSPC
# An interrupted call is made again: copy_file_range's first, not left to
# the buffered copy (whose pwrite64 fails), and in the buffered copy alone the
# first read of the input (-P adds the input to the traced paths).
run_case "copy_file_range EINTR once" Information all copy_file_range \
    -e inject=copy_file_range:error=EINTR:when=1 -e inject=pwrite64:error=EIO
run_case "pread64 EINTR once" Information all pread64 -P "$INPUT" \
    -e inject=copy_file_range:error=EXDEV -e inject=pread64:error=EINTR:when=1
# The flush before "Operation complete" fails once; the close's flush works.
run_case "fdatasync EIO at the end" Error all fdatasync \
    -e inject=fdatasync:error=EIO:when=1
# The output cannot be opened for writing (the first two openat calls on it
# only look: with O_PATH where its bytes lie, then read-only for another
# program's lock).
run_case "openat EIO on the output" Error none openat -e inject=openat:error=EIO:when=3

# ---- saving the settings fails on the way out ----
CASE="settings folder is a regular file"
rm -rf "$XDG_CONFIG_HOME"
mkdir -p "$XDG_CONFIG_HOME"
echo "not a folder" >"$XDG_CONFIG_HOME/Tavmar Velmora"
rm -f "$WORK/trace"
"$PROGRAM" >"$WORK/program.log" 2>&1 &
RUN_PID=$!
MAIN=$(wait_window "${TITLE_RE}\$" 20) || fail "main window did not appear"
exit_with_alt_x "$MAIN"
grep -q "could not save settings" "$WORK/program.log" || fail "no word about the failed save"
[ "$(cat "$XDG_CONFIG_HOME/Tavmar Velmora")" = "not a folder" ] || fail "the file was changed"
echo "ok [$CASE]: exit status 0, $(grep -m1 'could not save' "$WORK/program.log")"
echo "PASS"
