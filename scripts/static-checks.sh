#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Static checks over the repository's own C++ sources listed in a build
# directory's compile_commands.json (never generated moc/qrc files): cppcheck
# over src/, tests/ and bench/, and clang-tidy (configured by the repository's
# .clang-tidy) over the program's and the benchmark's sources, src/ and
# bench/. clang-tidy parses Qt and GoogleTest anew for every file, and the
# tests would double its time for code that ships nowhere.
#
#   scripts/static-checks.sh <build-dir>
#
# Exits non-zero when either tool reports a finding or fails to run. A tool
# that is not installed is skipped with a message and does not fail the run.
# CLANG_TIDY and CPPCHECK name other binaries; JOBS overrides the job count.
set -uo pipefail

if [ "$#" -ne 1 ]; then
    echo "usage: $0 <build-dir>" >&2
    exit 2
fi

repo="$(cd "$(dirname "$0")/.." && pwd -P)"
build="$(cd "$1" 2>/dev/null && pwd -P)" || {
    echo "static-checks: no such build directory: $1" >&2
    exit 2
}
database="$build/compile_commands.json"
if [ ! -f "$database" ]; then
    echo "static-checks: $database is missing; configure with CMAKE_EXPORT_COMPILE_COMMANDS=ON" >&2
    exit 2
fi

jobs="${JOBS:-$(nproc 2>/dev/null || echo 2)}"
clang_tidy="${CLANG_TIDY:-clang-tidy}"
cppcheck="${CPPCHECK:-cppcheck}"

work="$(mktemp -d "${TMPDIR:-/tmp}/static-checks.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# The repository's translation units, once each, in a stable order, and a
# compilation database of just those for cppcheck (which gives up on a whole
# database when one of its files, say an unbuilt moc file, is missing).
python3 - "$database" "$repo" "$work/own.json" >"$work/files" <<'EOF'
import json, os, re, sys
database, repo, subset = sys.argv[1:4]
own = re.compile(re.escape(repo) + r"/(src|tests|bench)/.+\.cpp$")
entries = {}
for entry in json.load(open(database)):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    if own.match(path) and path not in entries:
        entries[path] = dict(entry, file=path)
json.dump([entries[path] for path in sorted(entries)], open(subset, "w"), indent=1)
print("\n".join(sorted(entries)))
EOF
count="$(grep -c . "$work/files")"
grep -E "^$repo/(src|bench)/" "$work/files" >"$work/tidy-files"
tidy_count="$(grep -c . "$work/tidy-files")"
if [ "$count" -eq 0 ]; then
    echo "static-checks: no repository sources in $database" >&2
    exit 2
fi

status=0
summary=()

# ---------------------------------------------------------------- clang-tidy
if command -v "$clang_tidy" >/dev/null 2>&1; then
    echo "== clang-tidy: $tidy_count files, $jobs jobs"
    start=$SECONDS
    mkdir "$work/tidy"
    # One log per file; a header's finding shows once per including file.
    xargs -a "$work/tidy-files" -P "$jobs" -I{} sh -c '
        log="$3/$(printf %s "$1" | tr / _).log"
        "$2" -p "$4" --quiet --use-color=false --warnings-as-errors="*" "$1" >"$log" 2>&1 ||
            echo "$1" >>"$3/failed"
    ' sh {} "$clang_tidy" "$work/tidy" "$build"
    findings="$(cat "$work/tidy/"*.log | grep -E '^/.+:[0-9]+:[0-9]+: (warning|error): ' | sort -u)"
    if [ -n "$findings" ]; then
        n="$(printf '%s\n' "$findings" | wc -l)"
        printf '%s\n' "$findings"
    else
        n=0
    fi
    failed=0
    [ -f "$work/tidy/failed" ] && failed="$(wc -l <"$work/tidy/failed")"
    if [ "$failed" -ne 0 ]; then
        # Show everything clang-tidy said for the failing files: a finding's
        # context, or why it could not run at all.
        while read -r file; do
            cat "$work/tidy/$(printf %s "$file" | tr / _).log"
        done <"$work/tidy/failed"
        status=1
    fi
    summary+=("clang-tidy: $n finding(s), $failed of $tidy_count file(s) failed, $((SECONDS - start)) s")
else
    summary+=("clang-tidy: not installed, skipped")
fi

# ------------------------------------------------------------------ cppcheck
if command -v "$cppcheck" >/dev/null 2>&1; then
    echo "== cppcheck: $count files, $jobs jobs"
    start=$SECONDS
    # googletest.cfg lacks the typed and parameterised suite macros; without
    # them a test file stops at a syntax error and goes unchecked.
    cat >"$work/gtest-extra.cfg" <<'EOF'
<?xml version="1.0"?>
<def format="2">
  <define name="TYPED_TEST_SUITE(A,...)" value=""/>
  <define name="TYPED_TEST(A,B)" value="template &lt;typename TypeParam&gt; void __ ## A ## _ ## B ( )"/>
  <define name="INSTANTIATE_TEST_SUITE_P(P,A,...)" value=""/>
</def>
EOF
    mkdir "$work/cppcheck"
    # cppcheck 2.17 (Debian 13) also tells, as "information", where it
    # limited its analysis of branches: not a finding.
    "$cppcheck" --project="$work/own.json" \
        --enable=warning,performance,portability --inline-suppr --error-exitcode=1 \
        --suppress=missingIncludeSystem --suppress=normalCheckLevelMaxBranches \
        --library=posix --library=qt --library=googletest --library="$work/gtest-extra.cfg" \
        --cppcheck-build-dir="$work/cppcheck" -j "$jobs" --quiet \
        --template='{file}:{line}:{column}: {severity}: {message} [{id}]' 2>"$work/cppcheck.log"
    rc=$?
    n="$(grep -cE '^[^ ]+:[0-9]+:[0-9]+: ' "$work/cppcheck.log")"
    cat "$work/cppcheck.log"
    if [ "$rc" -ne 0 ]; then
        status=1
    fi
    summary+=("cppcheck: $n finding(s), exit $rc, $((SECONDS - start)) s")
else
    summary+=("cppcheck: not installed, skipped")
fi

echo "== summary"
printf '  %s\n' "${summary[@]}"
if [ "$status" -ne 0 ]; then
    echo "static-checks: FAILED"
else
    echo "static-checks: clean"
fi
exit "$status"
