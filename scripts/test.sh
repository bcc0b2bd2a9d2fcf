#!/usr/bin/env bash
# Installs what is missing, builds the test build (sanitizers, warnings as errors), checks the
# layout of the C++ sources and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake --preset asan >/dev/null
cmake --build --preset asan
bash scripts/check-format.sh
ctest --preset asan
