#!/usr/bin/env bash
# Fails when a tracked C++ source differs from the repository's .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if ! clang-format --dry-run --Werror "${files[@]}"; then
  echo "check-format: run 'git ls-files \"*.cpp\" \"*.h\" | xargs clang-format -i'" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files follow .clang-format"
