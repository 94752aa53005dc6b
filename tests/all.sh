#!/usr/bin/env bash
# Every test of the project: the whole suite (unit, end-to-end, desktop
# dialog, Windows under Wine, packages), the same under the sanitizers,
# the fuzzer for a bounded time, and the format and lint checks.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset default
cmake --workflow --preset asan
cmake --workflow --preset fuzz
tests/static_checks.sh
