#!/usr/bin/env bash
# Checks that the shared library exports exactly the given entry points and nothing else.
set -euo pipefail
library=$1; shift
expected=$(printf '%s\n' "$@" | sort)
actual=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TW]$/ {print $3}' | sort)
if [ "$actual" != "$expected" ]; then
    echo "exports of $library:"; echo "$actual"; echo "expected:"; echo "$expected"
    exit 1
fi
