#!/usr/bin/env bash
# Fails when clang-format would change any C++ source of the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' 2>/dev/null || find . -name '*.cpp' -o -name '*.h' | grep -v '^./build/')
[ ${#files[@]} -eq 0 ] && exit 0
if ! clang-format --dry-run --Werror "${files[@]}"; then
  echo "check-format: run 'clang-format -i' on the files above" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files laid out"
