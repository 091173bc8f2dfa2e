#!/usr/bin/env bash
# Fuzzes the plugin over whole disks for SECONDS seconds with the target of a TARNWICK_FUZZ=ON build.
# usage: run_fuzz.sh BUILD_DIR SECONDS [libFuzzer options...]
# The corpus grows in BUILD_DIR/fuzz-corpus from seed disks made here; a finding is written to
# BUILD_DIR/fuzz-findings/ and the exit status is nonzero. Copy findings into tests/fuzz/regressions/ (the tests
# replay every file there) once the fault is fixed.
set -euo pipefail

build=${1:?usage: run_fuzz.sh BUILD_DIR SECONDS [libFuzzer options...]}
seconds=${2:?}
shift 2
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$build" && pwd)
mkdir -p "$build/fuzz-corpus" "$build/fuzz-findings"
"$here/make_seeds.sh" "$build/fuzz-seeds" > /dev/null
# With -jobs, libFuzzer writes fuzz-N.log files into the working directory.
cd "$build"
# Copies that a host would abort and listings that grow without bound show as timeouts and out-of-memory reports.
"$build/tests/fuzz/fuzz_disk" "$build/fuzz-corpus" "$build/fuzz-seeds" "$here/regressions" \
    -dict="$here/ext.dict" -max_total_time="$seconds" -max_len=1048576 -timeout=20 -rss_limit_mb=2048 \
    -artifact_prefix="$build/fuzz-findings/" -print_final_stats=1 "$@"
