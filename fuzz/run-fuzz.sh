#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a
# bounded time on a copy of its seed corpus. Exits non-zero when a target
# finds a failure (the crashing input is left in build-fuzz/artifacts/);
# exits 0 with a message when clang++ or its libFuzzer runtime is missing.
#
#   TAVMAR_FUZZ_SECONDS    run time per target (default 30)
#   TAVMAR_FUZZ_BUILD_DIR  build folder (default <repo>/build-fuzz)
#   TAVMAR_FUZZ_CXX        the clang++ to use (default clang++)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TAVMAR_FUZZ_BUILD_DIR:-$root/build-fuzz}"
seconds="${TAVMAR_FUZZ_SECONDS:-30}"
cxx="${TAVMAR_FUZZ_CXX:-clang++}"

if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "run-fuzz: $cxx not found; fuzzing skipped"
    exit 0
fi
probe="$(mktemp -d)"
trap 'rm -rf "$probe"' EXIT
printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }' \
    >"$probe/probe.cpp"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    >"$probe/log" 2>&1; then
    cat "$probe/log"
    echo "run-fuzz: $cxx cannot link a libFuzzer target (libclang-rt-dev missing?); fuzzing skipped"
    exit 0
fi

generator=()
if command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi
cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_CXX_COMPILER="$(command -v "$cxx")" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTAVMAR_BUILD_FUZZ=ON -DTAVMAR_BUILD_TESTS=OFF -DTAVMAR_BUILD_BENCH=OFF
cmake --build "$build" --target fuzz_position_text

status=0
for target in fuzz_position_text; do
    corpus="$build/corpus/$target"
    artifacts="$build/artifacts/$target/"
    rm -rf "$corpus"
    mkdir -p "$corpus" "$artifacts"
    cp "$root/fuzz/corpus/." "$corpus/" -R
    echo "run-fuzz: $target for $seconds s"
    if ! "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$artifacts" "$corpus"; then
        echo "run-fuzz: $target FAILED; input saved under $artifacts"
        status=1
    fi
done
exit "$status"
