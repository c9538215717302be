#!/usr/bin/env bash
# The project's one test command: dependencies, then configure, build and run every test
# suite in the presets default (64-bit), asan (ASan + UBSan) and x86 (32-bit), then each
# libFuzzer harness for a short budget (preset fuzz, clang), then the format check. Exits
# non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

presets=(default asan x86 fuzz)
if [ "$#" -gt 0 ]; then presets=("$@"); fi

for preset in "${presets[@]}"; do
  echo "=== preset ${preset}: configure"
  cmake --preset "${preset}" >/dev/null
  echo "=== preset ${preset}: build"
  cmake --build --preset "${preset}"
  echo "=== preset ${preset}: test"
  ctest --preset "${preset}"
done

echo "=== format check"
bash scripts/format.sh --check
echo "all presets passed"
