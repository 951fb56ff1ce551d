#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package twice with dpkg-buildpackage, from copies of the
# sources in two different folders, once with its tests and once with nocheck,
# and checks that the two give the same files and that only the first ran the
# tests; checks the source and binary packages with lintian, the control
# fields, contents and debug symbols, unpacks the package into a temporary
# root and starts the unpacked program on a virtual X server; then installs it
# and runs its own tests (debian/tests) with autopkgtest, and purges it again.
#
#   check_deb_package.sh <source dir> <project version>
#
# The copies are the files git lists (tracked, and new ones not ignored),
# built in a temporary folder.  A missing tool fails the test with its name.
set -u
NAME=tavmar-velmora
ICON_SIZES="16 22 24 32 48 64 128 256"

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
    # The unpacked icons first; the system's hicolor theme gives their index.
    export XDG_DATA_DIRS="${PROGRAM%/bin/*}/share:/usr/share"

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

    # The window's icon holds every size the package installs.
    icons=$(timeout 5 xprop -len 4000000 -id "$window" _NET_WM_ICON | grep -o 'Icon ([0-9]* x' | tr -dc '0-9\n')
    for size in $ICON_SIZES; do
        printf '%s\n' "$icons" | grep -qx "$size" || fail "the window's icon has no ${size}x$size image: $icons"
    done

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
[ $# -eq 2 ] || { echo "usage: check_deb_package.sh <source dir> <project version>"; exit 2; }
SOURCE_DIR=$1 VERSION=$2
TITLE="Tavmar Velmora $VERSION"

for tool in git tar xz dpkg-buildpackage dpkg-parsechangelog dh dpkg-deb dpkg dpkg-query \
        lintian appstreamcli desktop-file-validate man lexgrog readelf cmp Xvfb xdotool xprop \
        autopkgtest; do
    command -v "$tool" >/dev/null 2>&1 || { echo "FAIL: $tool not installed"; exit 1; }
done

WORK=$(mktemp -d /tmp/tavmar-package.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
FAILURES=0
fail() { echo "FAIL: $*"; FAILURES=$((FAILURES + 1)); }
fatal() { echo "FAIL: $*"; exit 1; }

# ---- two builds, in folders of different names and depths ----
DEB_VERSION=$(dpkg-parsechangelog -l "$SOURCE_DIR/debian/changelog" -S Version) ||
    fatal "dpkg-parsechangelog cannot read debian/changelog"
[ "${DEB_VERSION%-*}" = "$VERSION" ] ||
    fail "debian/changelog's newest version is $DEB_VERSION, not one of $VERSION"
git -C "$SOURCE_DIR" ls-files -z -co --exclude-standard >"$WORK/files" ||
    fatal "git cannot list the files of $SOURCE_DIR"
# Copies the sources to <folder>/tavmar-velmora-<version> and runs
# dpkg-buildpackage there with the given options.
build() {
    local tree="$1/$NAME-$VERSION"
    shift
    mkdir -p "$tree" && tar -C "$SOURCE_DIR" --null -T "$WORK/files" -cf - | tar -C "$tree" -xf - &&
        (cd "$tree" && dpkg-buildpackage -us -uc -Jauto "$@") >"${tree%/*}/build.log" 2>&1 ||
        { cat "${tree%/*}/build.log"; fatal "dpkg-buildpackage $* in ${tree%/*} failed"; }
}
A="$WORK/a" B="$WORK/b/another/folder"
mkdir -p "$A" && tar -C "$SOURCE_DIR" --exclude=debian --transform="s,^,$NAME-$VERSION/," \
    --sort=name --owner=0 --group=0 --numeric-owner --null -T "$WORK/files" \
    -cJf "$A/${NAME}_$VERSION.orig.tar.xz" || fatal "cannot make the upstream tarball"
build "$A"
DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}" build "$B" -b -Pnocheck
# The build's own test run: every test that needs no display, passed or skipped.
summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$A/build.log")
[[ "$summary" =~ ^100%\ tests\ passed ]] || fail "dh_auto_test ran no tests, or some failed: ${summary:-no summary}"
echo "dh_auto_test: $summary"
grep -q 'tests failed out of' "$B/build.log" && fail "dh_auto_test ran the tests under nocheck"
ARCH=$(dpkg --print-architecture)
DEB="$A/${NAME}_${DEB_VERSION}_${ARCH}.deb"
DBGSYM="$A/${NAME}-dbgsym_${DEB_VERSION}_${ARCH}.deb"
for deb in "$DEB" "$DBGSYM"; do
    [ -f "$deb" ] || fatal "dpkg-buildpackage did not make ${deb##*/}"
    other="$B/${deb##*/}"
    if ! cmp -s "$deb" "$other"; then
        diff <(dpkg-deb -I "$deb" md5sums) <(dpkg-deb -I "$other" md5sums 2>&1)
        fail "${deb##*/} differs between the two builds"
    fi
done
echo "built ${DEB##*/} ($(stat -c %s "$DEB") bytes) twice, the same; and ${DBGSYM##*/}"

# ---- lintian: the source and both binaries, every tag down to the pedantic
# ones fixed or overridden, except two that one release's lintian alone gives:
# Debian 12's finds the override Debian 13's needs for the Standards-Version
# unused, and Debian 13's relays appstreamcli's url-homepage-missing (checked
# below to be its only warning).
lintian --fail-on error -I --pedantic --tag-display-limit 0 "$A"/*.changes >"$WORK/lintian.log" 2>&1 &&
    ! grep -E '^[EWIP]: ' "$WORK/lintian.log" | grep -vE \
        ' source: unused-override out-of-date-standards-version |: appstream-metadata-validation-failed ' ||
    { cat "$WORK/lintian.log"; fail "lintian reports tags that are neither fixed nor overridden"; }

# ---- control fields ----
field() { dpkg-deb -f "$DEB" "$1"; }
[ "$(field Package)" = "$NAME" ] || fail "Package is \"$(field Package)\", not $NAME"
[ "$(field Version)" = "$DEB_VERSION" ] || fail "Version is \"$(field Version)\", not $DEB_VERSION"
[ "$(field Architecture)" = "$ARCH" ] || fail "Architecture is \"$(field Architecture)\", not $ARCH"
[ "$(field Section)" = "utils" ] || fail "Section is \"$(field Section)\", not utils"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"

# One relation name per line, alternatives split, versions dropped.
names() { printf '%s\n' "$1" | tr ',|' '\n\n' | sed 's/(.*)//; s/:any//; s/[[:space:]]//g' | sed '/^$/d'; }
DEPENDS=$(field Depends)
echo "Depends: $DEPENDS"
dep_names=$(names "$DEPENDS")
# Debian 13 names Qt Core's library package with a t64 suffix.
for wanted in libqt6widgets6 libqt6gui6 'libqt6core6(t64)?' libc6 'libstdc\+\+6'; do
    printf '%s\n' "$dep_names" | grep -qxE -- "$wanted" || fail "Depends does not name $wanted"
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
# Its debug information is in the -dbgsym package, under its build id.
build_id=$(readelf -n "$PROGRAM" | sed -n 's/^ *Build ID: //p')
dpkg -x "$DBGSYM" "$WORK/dbgsym" || fatal "dpkg -x cannot unpack ${DBGSYM##*/}"
readelf -S -W "$WORK/dbgsym/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug" 2>&1 |
    grep -q '\.debug_info' || fail "${DBGSYM##*/} has no debug information for build id $build_id"
# The program must find Qt where Debian puts it, not in a build tree.
runpath=$(readelf -d -W "$PROGRAM" | grep -E 'R(UN)?PATH' || true)
[ -z "$runpath" ] || fail "the packaged program has a run path: $runpath"

# ---- AppStream metadata, desktop entry, icons, manual page ----
# The tree as installed: the metadata, and the desktop entry it launches.
# There is no homepage to name: appstreamcli 1.0 (Debian 13) warns of that.
appstreamcli validate-tree --pedantic --no-net "$ROOT" >"$WORK/appstream.log" 2>&1 ||
    grep -q 'W: .*url-homepage-missing' "$WORK/appstream.log" || fail "appstreamcli failed"
grep -E '^[[:space:]]*[EW]: ' "$WORK/appstream.log" | grep -qv 'W: .*url-homepage-missing' &&
    fail "appstreamcli reports errors or warnings in the installed metadata"
[ "$FAILURES" -eq 0 ] || cat "$WORK/appstream.log"

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
for section in OPTIONS ENVIRONMENT FILES; do
    zgrep -qx "\.SH $section" "$MANPAGE" || fail "the manual page has no $section section"
done

# ---- start the unpacked program ----
timeout 60 bash "$(dirname "$0")/../display/with_display.sh" \
    bash "$0" --window "$PROGRAM" "$TITLE" "$WORK" ||
    fail "the unpacked program did not show its window and close cleanly"

# ---- the package's own tests, installed, as Debian's CI runs them ----
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo -n)
if [ "$(id -u)" -ne 0 ] && ! sudo -n true 2>/dev/null; then
    echo "note: autopkgtest left out: installing the package needs root or sudo without a password"
else
    installed_before=$(dpkg-query -W -f='${Status}' "$NAME" 2>/dev/null | grep -c 'ok installed')
    "${sudo[@]}" autopkgtest --no-built-binaries "$DEB" "$A/${NAME}_$DEB_VERSION.dsc" -- null \
        >"$WORK/autopkgtest.log" 2>&1
    status=$?
    # Left as it was found: a package installed only for its tests goes again.
    if [ "$installed_before" -eq 0 ]; then
        "${sudo[@]}" dpkg --purge "$NAME" >/dev/null 2>&1 || fail "dpkg --purge $NAME failed"
    fi
    results=$(sed -n '/@@@@ summary/,$p' "$WORK/autopkgtest.log" | grep -E '^[a-z][a-z0-9-]* +[A-Z]+')
    printf '%s\n' "$results" | sed 's/^/autopkgtest: /'
    if [ "$status" -ne 0 ] || [ "$(printf '%s\n' "$results" | grep -cE ' PASS$')" -ne 2 ]; then
        tail -n 60 "$WORK/autopkgtest.log"
        fail "autopkgtest ended with status $status, not both tests passed"
    fi
fi

if [ "$FAILURES" -ne 0 ]; then
    echo "$FAILURES check(s) failed"
    exit 1
fi
echo "PASS"
