#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package with the `deb` preset in a tree of its own, checks its
# control fields and contents, unpacks it into a temporary root and starts the
# unpacked program on a virtual X server.
#
#   check_deb_package.sh <source dir> <build dir> <project version> <cmake> <cpack>
#
# The package and cpack's work files go to a temporary folder, not the build
# folder.  A missing tool fails the test with its name.
set -u

if [ "${1:-}" = "--window" ]; then
    MODE=window
    shift
else
    MODE=package
fi

# ---------------------------------------------------------------------------
# Window part, run on a virtual display by the package part:
#   check_deb_package.sh --window <program> <window title> <work folder>
# ---------------------------------------------------------------------------
if [ "$MODE" = window ]; then
    PROGRAM=$1 TITLE=$2 WORK=$3
    APP_PID=""
    cleanup_window() {
        if [ -n "$APP_PID" ] && kill -0 "$APP_PID" 2>/dev/null; then
            kill -KILL "$APP_PID" 2>/dev/null
        fi
    }
    trap cleanup_window EXIT
    fail() {
        echo "FAIL: $*"
        echo "--- program output ---"
        cat "$WORK/program.log" 2>/dev/null
        echo "--- windows on the display ---"
        local w
        for w in $(timeout 5 xdotool search --onlyvisible --name "" 2>/dev/null); do
            echo "$w: $(timeout 5 xdotool getwindowname "$w" 2>/dev/null)"
        done
        exit 1
    }

    unset SESSION_MANAGER QT_PLUGIN_PATH LD_LIBRARY_PATH

    "$PROGRAM" >"$WORK/program.log" 2>&1 &
    APP_PID=$!

    # Bounded wait for the main window; the title is matched whole.
    pattern="^$(printf '%s' "$TITLE" | sed 's/[.[\*^$]/\\&/g')\$"
    window=""
    for _ in $(seq 100); do
        window=$(timeout 5 xdotool search --onlyvisible --name "$pattern" 2>/dev/null | head -n 1)
        [ -n "$window" ] && break
        kill -0 "$APP_PID" 2>/dev/null || fail "program ended before its window appeared"
        sleep 0.2
    done
    [ -n "$window" ] || fail "no window titled \"$TITLE\" within 20 s"
    echo "window $window \"$(timeout 5 xdotool getwindowname "$window")\" is shown"

    # The window must be the unpacked program's, not some other process's.
    window_pid=$(timeout 5 xdotool getwindowpid "$window" 2>/dev/null)
    if [ -n "$window_pid" ]; then
        [ "$window_pid" = "$APP_PID" ] ||
            fail "the window belongs to process $window_pid, not to the started program $APP_PID"
    else
        echo "note: the window has no _NET_WM_PID, its owner not checked"
    fi

    # SIGTERM closes the window like Exit does: the program ends with 0.
    kill -TERM "$APP_PID"
    for _ in $(seq 50); do
        kill -0 "$APP_PID" 2>/dev/null || break
        sleep 0.2
    done
    kill -0 "$APP_PID" 2>/dev/null && fail "program still running 10 s after SIGTERM"
    wait "$APP_PID"
    status=$?
    APP_PID=""
    [ "$status" -eq 0 ] || fail "program exited with status $status after SIGTERM"
    echo "program ended with status 0 after SIGTERM"

    # Closing saves the fields, into the temporary XDG_CONFIG_HOME.
    settings=$(find "$XDG_CONFIG_HOME" -type f -name '*.ini' | head -n 1)
    [ -n "$settings" ] || fail "no settings file under XDG_CONFIG_HOME after closing"
    echo "settings saved to ${settings#"$WORK"/}"
    exit 0
fi

# ---------------------------------------------------------------------------
# Package part.
# ---------------------------------------------------------------------------
[ $# -eq 5 ] || { echo "usage: check_deb_package.sh <source> <build> <version> <cmake> <cpack>"; exit 2; }
SOURCE_DIR=$1 BUILD_DIR=$2 VERSION=$3 CMAKE=$4 CPACK=$5
NAME=tavmar-velmora
TITLE="Tavmar Velmora $VERSION"
ICON_SIZES="16 22 24 32 48 64 128 256"

for tool in "$CMAKE" "$CPACK" dpkg-deb dpkg dpkg-query dpkg-buildflags dpkg-shlibdeps \
        lintian appstreamcli desktop-file-validate man lexgrog readelf Xvfb xdotool; do
    command -v "$tool" >/dev/null 2>&1 || { echo "FAIL: $tool not installed"; exit 1; }
done

WORK=$(mktemp -d /tmp/tavmar-package.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
FAILURES=0
fail() { echo "FAIL: $*"; FAILURES=$((FAILURES + 1)); }
fatal() { echo "FAIL: $*"; exit 1; }

# ---- build the package ----
TREE="$BUILD_DIR/package-deb"
if ! (cd "$SOURCE_DIR" && "$CMAKE" --preset deb -B "$TREE" &&
        "$CMAKE" --build "$TREE" &&
        cd "$TREE" && "$CPACK" -G DEB -B "$WORK/out" --config "$TREE/CPackConfig.cmake") \
        >"$WORK/build.log" 2>&1; then
    cat "$WORK/build.log"
    fatal "configuring, building or packing the deb preset's tree failed"
fi
ARCH=$(dpkg --print-architecture)
REVISION=$(sed -n '1s/^[^ ]* ([^)]*-\([^)-]*\)).*/\1/p' "$SOURCE_DIR/data/debian/changelog")
[ -n "$REVISION" ] || fatal "no Debian revision in the first line of data/debian/changelog"
DEB="$WORK/out/${NAME}_${VERSION}-${REVISION}_${ARCH}.deb"
if [ ! -f "$DEB" ]; then
    cat "$WORK/build.log"
    ls -l "$WORK/out"
    fatal "cpack did not make ${DEB##*/}"
fi
echo "built ${DEB##*/} ($(stat -c %s "$DEB") bytes)"

# ---- lintian: every tag, down to the pedantic ones, fixed or overridden ----
# (--show-overrides would make overridden tags count for --fail-on.)
lintian --fail-on error,warning,info,pedantic -I --pedantic --tag-display-limit 0 "$DEB" \
    >"$WORK/lintian.log" 2>&1 && ! grep -qE '^[EWIP]: ' "$WORK/lintian.log" ||
    { cat "$WORK/lintian.log"; fail "lintian reports tags that are neither fixed nor overridden"; }

# ---- control fields ----
field() { dpkg-deb -f "$DEB" "$1"; }
[ "$(field Package)" = "$NAME" ] || fail "Package is \"$(field Package)\", not $NAME"
[ "$(field Version)" = "$VERSION-$REVISION" ] || fail "Version is \"$(field Version)\", not $VERSION-$REVISION"
[ "$(field Architecture)" = "$ARCH" ] || fail "Architecture is \"$(field Architecture)\", not $ARCH"
[ "$(field Section)" = "utils" ] || fail "Section is \"$(field Section)\", not utils"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"

# One relation name per line, alternatives split, versions dropped.
names() { printf '%s\n' "$1" | tr ',|' '\n\n' | sed 's/(.*)//; s/:any//; s/[[:space:]]//g' | sed '/^$/d'; }
DEPENDS=$(field Depends)
echo "Depends: $DEPENDS"
dep_names=$(names "$DEPENDS")
for wanted in libqt6widgets6 libqt6gui6 libqt6core6 libc6 libstdc++6; do
    printf '%s\n' "$dep_names" | grep -qx -- "$wanted" || fail "Depends does not name $wanted"
done
# The xcb platform plugin is in libqt6gui6; qt6-qpa-plugins only adds VNC.
printf '%s\n' "$dep_names" | grep -qx qt6-qpa-plugins && fail "Depends names qt6-qpa-plugins"
names "$(field Recommends)" | grep -qx qt6-wayland || fail "Recommends does not name qt6-wayland"
# Every dependency must be met by what this machine has installed, which
# runs the program below: a misspelt name or a too new version fails here.
while IFS= read -r dep; do
    dep=$(printf '%s' "$dep" | sed 's/^[[:space:]]*//; s/[[:space:]]*$//')
    [ -n "$dep" ] || continue
    met=no
    IFS='|' read -r -a alternatives <<<"$dep"
    for alt in "${alternatives[@]}"; do
        pkg=$(printf '%s' "$alt" | sed 's/(.*)//; s/:any//; s/[[:space:]]//g')
        installed=$(dpkg-query -W -f='${Status} ${Version}' "$pkg" 2>/dev/null |
            sed -n 's/^install ok installed //p')
        [ -n "$installed" ] || continue
        if [[ "$alt" =~ \(([<>=]+)[[:space:]]*([^\)]+)\) ]]; then
            dpkg --compare-versions "$installed" "${BASH_REMATCH[1]}" \
                "$(printf '%s' "${BASH_REMATCH[2]}" | tr -d '[:space:]')" || continue
        fi
        met=yes
        break
    done
    [ "$met" = yes ] || fail "dependency \"$dep\" is not met by the installed packages"
done < <(printf '%s\n' "$DEPENDS" | tr ',' '\n')

# ---- contents: exactly these files, all under /usr ----
expected_files=$(printf '%s\n' "./usr/bin/$NAME" "./usr/share/applications/$NAME.desktop" \
    ./usr/share/metainfo/org.tavmar.Velmora.metainfo.xml "./usr/share/man/man1/$NAME.1.gz" \
    ./usr/share/doc/"$NAME"/{copyright,changelog.gz,changelog.Debian.gz} \
    "./usr/share/lintian/overrides/$NAME" "./usr/share/icons/hicolor/scalable/apps/$NAME.svg"
    for size in $ICON_SIZES; do echo "./usr/share/icons/hicolor/${size}x${size}/apps/$NAME.png"; done)
dpkg-deb -c "$DEB" >"$WORK/contents" || fatal "dpkg-deb -c cannot list the package"
actual_files=$(awk '$1 !~ /^d/ { print $6 }' "$WORK/contents" | sort)
if [ "$actual_files" != "$(printf '%s\n' "$expected_files" | sort)" ]; then
    echo "--- expected ---"; printf '%s\n' "$expected_files" | sort
    echo "--- in the package ---"; printf '%s\n' "$actual_files"
    fail "the package holds other files than those listed"
fi
awk '{ print $6 }' "$WORK/contents" | grep -v '^\./usr/' | grep -vx '\./' &&
    fail "the package installs outside /usr"

# ---- unpack ----
ROOT="$WORK/root"
dpkg -x "$DEB" "$ROOT" || fatal "dpkg -x failed"
PROGRAM="$ROOT/usr/bin/$NAME"
[ -f "$PROGRAM" ] && [ -x "$PROGRAM" ] || fatal "no executable $PROGRAM after dpkg -x"

readelf -S -W "$PROGRAM" | grep -qE '\.symtab|\.debug_' && fail "the packaged program is not stripped"
# The program must find Qt where Debian puts it, not in a build tree.
runpath=$(readelf -d -W "$PROGRAM" | grep -E 'R(UN)?PATH' || true)
[ -z "$runpath" ] || fail "the packaged program has a run path: $runpath"

# ---- AppStream metadata, desktop entry, icons, manual page ----
# The tree as installed: the metadata, and the desktop entry it launches.
appstreamcli validate-tree --pedantic --no-net "$ROOT" >"$WORK/appstream.log" 2>&1 &&
    ! grep -qE '^[[:space:]]*[EW]: ' "$WORK/appstream.log" ||
    { cat "$WORK/appstream.log"; fail "appstreamcli reports errors or warnings in the installed metadata"; }

ENTRY="$ROOT/usr/share/applications/$NAME.desktop"
if validate=$(desktop-file-validate "$ENTRY" 2>&1); then
    if printf '%s\n' "$validate" | grep -qE 'error:|warning:'; then
        printf '%s\n' "$validate"
        fail "desktop-file-validate reports problems in the installed entry"
    fi
else
    printf '%s\n' "$validate"
    fail "desktop-file-validate rejects the installed entry"
fi
exec_cmd=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$ENTRY" | head -n 1)
[ -n "$exec_cmd" ] && [ -x "$ROOT/usr/bin/${exec_cmd##*/}" ] ||
    fail "the entry's Exec \"$exec_cmd\" is not the installed program"
wm_class=$(sed -n 's/^StartupWMClass=//p' "$ENTRY")
[ "$wm_class" = "$TITLE" ] || fail "the entry's StartupWMClass is \"$wm_class\", not \"$TITLE\""
icon=$(sed -n 's/^Icon=//p' "$ENTRY" | head -n 1)
[ -n "$icon" ] || fail "the installed entry names no Icon"
for size in $ICON_SIZES; do
    png="$ROOT/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png"
    if [ ! -f "$png" ]; then
        fail "icon $icon missing at usr/share/icons/hicolor/${size}x${size}/apps"
        continue
    fi
    # PNG: 8-byte signature, then the IHDR chunk with width and height.
    signature=$(od -An -tx1 -N8 "$png" | tr -d ' \n')
    dims=$(od -An -tu1 -j16 -N8 "$png" |
        awk '{ printf "%d %d", (($1*256+$2)*256+$3)*256+$4, (($5*256+$6)*256+$7)*256+$8 }')
    [ "$signature" = "89504e470d0a1a0a" ] || fail "$png is not a PNG"
    [ "$dims" = "$size $size" ] || fail "$png is $dims, not ${size}x${size}"
done
svg="$ROOT/usr/share/icons/hicolor/scalable/apps/$icon.svg"
grep -qE '<svg [^>]*viewBox="0 0 ([0-9]+) \1"' "$svg" 2>/dev/null ||
    fail "icon $icon.svg missing or not an SVG drawn on a square"

MANPAGE="$ROOT/usr/share/man/man1/$NAME.1.gz"
man_warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$MANPAGE" 2>&1 >/dev/null)
[ -z "$man_warnings" ] || fail "the manual page has groff warnings: $man_warnings"
lexgrog "$MANPAGE" | grep -q ": \"$NAME - " || fail "lexgrog finds no NAME line in the manual page"

# ---- start the unpacked program ----
timeout 60 bash "$(dirname "$0")/../display/with_display.sh" \
    bash "$0" --window "$PROGRAM" "$TITLE" "$WORK" ||
    fail "the unpacked program did not show its window and close cleanly"

if [ "$FAILURES" -ne 0 ]; then
    echo "$FAILURES check(s) failed"
    exit 1
fi
echo "PASS"
