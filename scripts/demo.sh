#!/usr/bin/env bash
# The suite's main job: installs what is missing, builds the suite and holds a conference of
# several hosts on this machine, each host on its own loopback address.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release
exec build/release/demo/zep_main_job "$@"
