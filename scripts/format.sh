#!/usr/bin/env bash
# Formats every C and C++ file of the tree with clang-format 14 (.clang-format at the top).
# --check changes nothing and fails when a file is not formatted.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=(-i)
if [ "${1:-}" = "--check" ]; then mode=(--dry-run --Werror); fi

mapfile -t files < <(git ls-files --cached --others --exclude-standard -- \
  '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' | while read -r f; do [ -f "$f" ] && echo "$f"; done)
if [ "${#files[@]}" -eq 0 ]; then exit 0; fi
clang-format "${mode[@]}" "${files[@]}"
