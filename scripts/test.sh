#!/usr/bin/env bash
# The whole test run: installs what is missing, builds the plugin and its tests (plain, with AddressSanitizer and
# UndefinedBehaviorSanitizer, and the copy tests with ThreadSanitizer), runs every test, and cross-builds the
# Windows plugins for 32 and 64 bits.
#
# A part whose tools cannot be installed (the package mirror mid-sync, say) is not run, and the run goes on with
# the rest; its last lines then say what was not run and why. The status is 0 when every test that ran passed,
# unless TARNWICK_REQUIRE_ALL=1 (as CI sets it): then a part that did not run fails the run too.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/ensure_packages.sh
# Without these nothing can be built or tested: a failure to install them ends the run here.
ensure_packages cmake ninja-build g++ libgtest-dev fdisk e2fsprogs binutils

jobs=$(nproc)
not_run=()

# note_did_not_run DIR: adds to not_run the tests that the last ctest run in DIR lists as not run (skipped: not
# root, a missing tool; or not run at all), each with the first line it printed.
note_did_not_run() {
    local dir=$1 name why
    while IFS= read -r name; do
        why=$(awk -v test="$name" '
            /^[0-9]+\/[0-9]+ Test: / { line = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", line); inside = line == test }
            inside && /^Output:/ { getline; getline; print; exit }' "$dir/Testing/Temporary/LastTest.log" || true)
        not_run+=("$dir: $name${why:+: $why}")
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
run_tests build-tsan -R 'fixture_disks|browse_copy|sparse_copy|fields_test|concurrent_lookup|physical_disk|drive_rescan' -- -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE_THREAD=ON \
    -DTARNWICK_WERROR=ON

# The Windows files: their exports and imports, then the hosts and plugins under Wine over the fixture disks of
# the plain build. Wine's 32-bit half needs the i386 architecture known before the package lists are updated;
# where wine32:i386 cannot be installed system-wide, or the kernel runs no 32-bit code, wine_test.sh unpacks its
# own copy and runs it under qemu-i386.
if ensure_packages g++-mingw-w64-i686 g++-mingw-w64-x86-64; then
    for arch in i686 x86_64; do
        cmake -S . -B "build-windows-$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
              -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" -DTARNWICK_WERROR=ON
        cmake --build "build-windows-$arch" -j "$jobs"
    done
    for arch in i686 x86_64; do
        tests/windows/check_pe.sh "$arch" "build-windows-$arch"
    done
    ls -l build-windows-i686/Tarnwick.wfx build-windows-x86_64/Tarnwick.wfx64
    # The release package: both plugins and the file manager's installation file in one zip.
    package=$(scripts/package.sh build-windows-i686 build-windows-x86_64 build-windows-package)
    tests/windows/check_package.sh "$package"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        if [ "$(id -u)" -eq 0 ]; then dpkg --add-architecture i386; else sudo dpkg --add-architecture i386; fi
    fi
    if ensure_packages wine wine64; then
        ensure_packages wine32:i386 ||
            echo "wine32:i386 is not installed system-wide: the 32-bit Wine run uses a private copy"
        wine_status=0
        tests/windows/wine_test.sh build-windows-i686 build-windows-x86_64 build/fixtures 2>&1 |
            tee build-windows-x86_64/wine_test.log || wine_status=$?
        if [ "$wine_status" -eq 77 ]; then
            not_run+=("$(grep -m1 '^32-bit runs not run' build-windows-x86_64/wine_test.log)")
        elif [ "$wine_status" -ne 0 ]; then
            exit "$wine_status"
        fi
    else
        not_run+=("the Wine runs: wine and wine64 could not be installed (see ensure_packages above)")
    fi
else
    not_run+=("the Windows builds and the Wine runs: mingw-w64 could not be installed (see ensure_packages above)")
fi

# A minute of fuzzing the plugin over whole disks with libFuzzer (clang), from seed disks made here and the corpus
# kept in build-fuzz; a finding fails the run and is left in build-fuzz/fuzz-findings/.
if ensure_packages clang libclang-rt-14-dev; then
    cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++
    cmake --build build-fuzz --target fuzz_disk -j "$jobs"
    tests/fuzz/run_fuzz.sh build-fuzz 60
else
    not_run+=("the fuzzing: clang and its runtime could not be installed (see ensure_packages above)")
fi

if [ ${#not_run[@]} -eq 0 ]; then
    echo "all tests passed"
    exit 0
fi
echo "every test that ran passed; not run:"
printf '  - %s\n' "${not_run[@]}"
if [ "${TARNWICK_REQUIRE_ALL:-0}" = 1 ]; then
    echo "TARNWICK_REQUIRE_ALL=1: a part that did not run fails the run" >&2
    exit 1
fi
