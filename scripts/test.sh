#!/usr/bin/env bash
# The whole test run: installs what is missing, builds the plugin and its tests (plain, and with AddressSanitizer
# and UndefinedBehaviorSanitizer), runs every test, and cross-builds the Windows plugins for 32 and 64 bits.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ libgtest-dev fdisk e2fsprogs binutils
          g++-mingw-w64-i686 g++-mingw-w64-x86-64)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)

run_tests() {
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja "$@"
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure
}

run_tests build -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_tests build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON

for arch in i686 x86_64; do
    cmake -S . -B "build-windows-$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake"
    cmake --build "build-windows-$arch" -j "$jobs"
done
ls -l build-windows-i686/Tarnwick.wfx build-windows-x86_64/Tarnwick.wfx64
echo "all tests passed"
