#!/usr/bin/env bash
# Prints the lines of code, the lines of tests and the tests' share of the two together, counted
# as non-blank lines not starting with // in the tracked C and C++ files (code: src, include,
# host, tools; tests: tests). Exits 1 when the tests are more than 33% of the whole.
set -euo pipefail
cd "$(dirname "$0")/.."

count() { git ls-files -- "$@" | grep -E '\.(c|cc|cpp|h|hpp|inl)$' | xargs -r cat | grep -cvE '^\s*($|//)'; }
code=$(count src include host tools)
tests=$(count tests)
total=$((code + tests))
# The share in tenths of a percent, rounded, so that the limit compares in integers.
share=$(((tests * 1000 + total / 2) / total))
printf 'code %d lines, tests %d lines, tests %d.%d%% of the whole\n' \
  "${code}" "${tests}" $((share / 10)) $((share % 10))
if [ $((tests * 100)) -gt $((total * 33)) ]; then
  echo "test share above 33%: remove or merge tests before adding more" >&2
  exit 1
fi
