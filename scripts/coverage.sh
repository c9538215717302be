#!/usr/bin/env bash
# Line and branch coverage of src/ and host/, per folder: configures and builds the coverage
# preset (GCC --coverage, build/coverage), runs its tests with ctest (arguments after the
# options go to ctest, e.g. -R codec), and prints one row per folder from gcovr's summary.
#   --files FOLDER   also prints a row per file of FOLDER (repeatable, e.g. --files src/codec)
#   --no-build       reuses the build tree as it is
# Exits with ctest's status, after printing the figures of whatever ran.
set -euo pipefail
cd "$(dirname "$0")/.."

files=()
build=1
while [ "$#" -gt 0 ]; do
  case "$1" in
    --files) files+=("$2"); shift 2 ;;
    --no-build) build=0; shift ;;
    *) break ;;
  esac
done

tree=build/coverage
if [ "${build}" -eq 1 ]; then
  cmake --preset coverage >/dev/null
  cmake --build --preset coverage
fi
# Counters add up across runs: start from none.
find "${tree}" -name '*.gcda' -delete
status=0
ctest --preset coverage "$@" || status=$?

# Branches of exception paths and branches the compiler proved unreachable are not choices the
# code makes; leaving them out keeps the branch figures about the code's own conditions.
# Counters are searched in this tree only (other trees may hold counters of their own); the
# compiler checks CMake made leave counter notes too, for no source of ours.
gcovr --root . --object-directory "${tree}" --filter 'src/' --filter 'host/' \
  --exclude-directories "${tree}/CMakeFiles" \
  --exclude-throw-branches --exclude-unreachable-branches -j 2 \
  --json-summary "${tree}/coverage_summary.json" "${tree}" >/dev/null

python3 - "${tree}/coverage_summary.json" "${files[@]}" <<'PY'
import json, sys
summary = json.load(open(sys.argv[1]))
detail = sys.argv[2:]
folders = {}
rows = []
for f in summary["files"]:
    name = f["filename"]
    folder = "/".join(name.split("/")[:2])
    counts = [f["line_covered"], f["line_total"], f["branch_covered"], f["branch_total"]]
    t = folders.setdefault(folder, [0, 0, 0, 0])
    for i in range(4):
        t[i] += counts[i]
    if any(name.startswith(d.rstrip("/") + "/") for d in detail):
        rows.append((name, counts))

def pct(a, b):
    return f"{100.0 * a / b:6.1f}%" if b else "     -"

def row(name, t):
    lines = f"{t[0]:>6}/{t[1]:<6} {pct(t[0], t[1])}"
    print(f"{name:<44} {lines}   {t[2]:>6}/{t[3]:<6} {pct(t[2], t[3])}")

print(f"{'folder':<44} {'lines':>13} {'':>7}   {'branches':>13}")
for name in sorted(folders):
    row(name, folders[name])
total = [sum(t[i] for t in folders.values()) for i in range(4)]
row("total", total)
if rows:
    print()
    print(f"{'file':<44} {'lines':>13} {'':>7}   {'branches':>13}")
    for name, t in sorted(rows):
        row(name, t)
PY
exit "${status}"
