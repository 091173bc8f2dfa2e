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

# run_tests DIR CTEST_ARGS -- CMAKE_ARGS...
run_tests() {
    local dir=$1 ctest_args=()
    shift
    while [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
    shift
    cmake -S . -B "$dir" -G Ninja "$@"
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure "${ctest_args[@]}"
}

run_tests build -- -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_tests build-sanitize -- -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON
run_tests build-tsan -R 'fixture_disks|browse_copy' -- -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE_THREAD=ON

for arch in i686 x86_64; do
    cmake -S . -B "build-windows-$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake"
    cmake --build "build-windows-$arch" -j "$jobs"
done
ls -l build-windows-i686/Tarnwick.wfx build-windows-x86_64/Tarnwick.wfx64
echo "all tests passed"
