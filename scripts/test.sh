#!/usr/bin/env bash
# The whole test run: installs what is missing, builds the plugin and its tests (plain, with AddressSanitizer and
# UndefinedBehaviorSanitizer, and the copy tests with ThreadSanitizer), runs every test, and cross-builds the
# Windows plugins for 32 and 64 bits.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/ensure_packages.sh
ensure_packages cmake ninja-build g++ libgtest-dev fdisk e2fsprogs binutils \
                g++-mingw-w64-i686 g++-mingw-w64-x86-64

jobs=$(nproc)

# Tests that did not run (skipped: not root, a missing tool; or not run at all) are named again at the very end,
# each with the first line it printed, so that a run that left a group out never ends as if it had run everything.
did_not_run=()

# note_did_not_run DIR: the tests that the last ctest run in DIR lists as not run.
note_did_not_run() {
    local dir=$1 name why
    while IFS= read -r name; do
        why=$(awk -v test="$name" '
            /^[0-9]+\/[0-9]+ Test: / { line = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", line); inside = line == test }
            inside && /^Output:/ { getline; getline; print; exit }' "$dir/Testing/Temporary/LastTest.log")
        did_not_run+=("$dir: $name${why:+: $why}")
    done < <(sed -n '/^The following tests did not run:/,/^$/ s/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' \
                 "$dir/ctest.log")
}

# run_tests DIR CTEST_ARGS -- CMAKE_ARGS...
run_tests() {
    local dir=$1 ctest_args=()
    shift
    while [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
    shift
    cmake -S . -B "$dir" -G Ninja "$@"
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure "${ctest_args[@]}" 2>&1 | tee "$dir/ctest.log"
    note_did_not_run "$dir"
}

run_tests build -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_WERROR=ON
run_tests build-sanitize -- -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON -DTARNWICK_WERROR=ON
run_tests build-tsan -R 'fixture_disks|browse_copy|concurrent_lookup|physical_disk|drive_rescan' -- -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE_THREAD=ON \
    -DTARNWICK_WERROR=ON

for arch in i686 x86_64; do
    cmake -S . -B "build-windows-$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" -DTARNWICK_WERROR=ON
    cmake --build "build-windows-$arch" -j "$jobs"
done
# The Windows files: their exports and imports, then the hosts and plugins under Wine over the fixture disks of
# the plain build. Wine's 32-bit part needs the i386 architecture known before the package lists are updated; where
# the kernel runs no 32-bit code, wine_test.sh runs it under qemu-i386 and installs qemu-user for that.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    if [ "$(id -u)" -eq 0 ]; then dpkg --add-architecture i386; else sudo dpkg --add-architecture i386; fi
fi
ensure_packages wine wine64 wine32:i386
for arch in i686 x86_64; do
    tests/windows/check_pe.sh "$arch" "build-windows-$arch"
done
tests/windows/wine_test.sh build-windows-i686 build-windows-x86_64 build/fixtures
ls -l build-windows-i686/Tarnwick.wfx build-windows-x86_64/Tarnwick.wfx64

# A minute of fuzzing the plugin over whole disks with libFuzzer (clang), from seed disks made here and the corpus
# kept in build-fuzz; a finding fails the run and is left in build-fuzz/fuzz-findings/.
ensure_packages clang libclang-rt-14-dev
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++
cmake --build build-fuzz --target fuzz_disk -j "$jobs"
tests/fuzz/run_fuzz.sh build-fuzz 60
if [ ${#did_not_run[@]} -gt 0 ]; then
    echo "tests that did not run:"
    printf '  %s\n' "${did_not_run[@]}"
    echo "all tests that ran passed; ${#did_not_run[@]} did not run (see above)"
else
    echo "all tests passed"
fi
