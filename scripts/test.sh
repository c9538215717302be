#!/usr/bin/env bash
# The project's one test command: dependencies, then configure, build and run every test
# suite in the presets default (64-bit), asan (ASan + UBSan) and x86 (32-bit; deps.sh makes
# sure this machine executes i386 programs, through qemu-i386 where the kernel cannot), the
# concurrency-labelled suites under ThreadSanitizer (tsan), the Windows builds (win64: every
# suite run under Wine, one process per test executable; win32: the module DLL and the boundary
# layout proven at compile time, its suites built and run only where 32-bit Wine is installed),
# then each libFuzzer harness for a short budget (preset fuzz, clang), then the format check.
# Exits non-zero on the first failure.
# Each phase ends with its wall time and the processor time of its processes (user + system,
# which load from elsewhere on the machine hardly changes), and the run with a table of them.
set -euo pipefail
cd "$(dirname "$0")/.."

# Sets `cpu` to the whole seconds of processor time used so far by the processes this script
# waited for. `times` must run in this shell, not in a subshell of its own.
cpu_file=$(mktemp)
trap 'rm -f "${cpu_file}"' EXIT
read_cpu() {
  times >"${cpu_file}"
  cpu=$(awk 'NR == 2 { split($1, u, "m"); split($2, s, "m"); printf "%d", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "${cpu_file}")
}
timings=()
started=${SECONDS}
read_cpu
started_cpu=${cpu}
# Ends a phase: prints its wall and processor time since the previous mark and keeps them for the
# closing table.
mark() {
  local spent=$((SECONDS - started))
  read_cpu
  timings+=("$(printf '%-22s %5d s wall %6d s cpu' "$1" "${spent}" $((cpu - started_cpu)))")
  echo "--- $1: ${spent} s wall, $((cpu - started_cpu)) s cpu"
  started=${SECONDS}
  started_cpu=${cpu}
}

bash scripts/deps.sh
mark deps

presets=(default asan x86 tsan win64 win32 fuzz)
if [ "$#" -gt 0 ]; then presets=("$@"); fi

# ThreadSanitizer of GCC 12 maps its shadow at fixed addresses and aborts ("unexpected memory
# mapping") on kernels that randomise mappings with more bits than it expects; its tests run
# with address randomisation off where the kernel lets us turn it off.
tsan_runner=()
if setarch "$(uname -m)" -R true 2>/dev/null; then tsan_runner=(setarch "$(uname -m)" -R); fi

# Wine's server for a Windows preset's prefix, kept running across its test programs (each
# start would otherwise start the server again: seconds instead of a tenth of one). Started in
# the foreground of a background job, so that it is ended by its process id.
wine_server_pid=""
wine_server_program=/usr/lib/wine/wineserver
[ -x "${wine_server_program}" ] || wine_server_program=/usr/lib/wine/wineserver64
start_wine_server() {
  local preset=$1 wine=$2 server=${wine_server_program}
  export WINEPREFIX="${PWD}/build/${preset}/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "${WINEPREFIX}"
  "${server}" -f -p &
  wine_server_pid=$!
  # A new prefix is set up by the first program started in it; two test programs starting at once
  # in a new prefix can hang. Set it up here, alone, within a time limit.
  timeout 180 "${wine}" wineboot --init >/dev/null 2>&1 || echo "wine: setting up ${WINEPREFIX} failed or timed out" >&2
}
stop_wine_server() {
  if [ -n "${wine_server_pid}" ]; then
    # The prefix's server ends every Wine process of the prefix (its device services too).
    "${wine_server_program}" -k 2>/dev/null || true
    kill "${wine_server_pid}" 2>/dev/null || true
    wait "${wine_server_pid}" 2>/dev/null || true
    wine_server_pid=""
  fi
  unset WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
}
trap 'stop_wine_server; rm -f "${cpu_file}"' EXIT

for preset in "${presets[@]}"; do
  echo "=== preset ${preset}: configure"
  cmake --preset "${preset}" >/dev/null
  mark "${preset} configure"
  echo "=== preset ${preset}: build"
  cmake --build --preset "${preset}"
  mark "${preset} build"
  echo "=== preset ${preset}: test"
  case "${preset}" in
  tsan) "${tsan_runner[@]}" ctest --preset "${preset}" ;;
  win64)
    start_wine_server win64 /usr/lib/wine/wine64
    ctest --preset win64
    stop_wine_server
    ;;
  win32)
    # The toolchain file runs the suites under 32-bit Wine where it is installed.
    if [ -x /usr/lib/wine/wine ]; then
      start_wine_server win32 /usr/lib/wine/wine
      ctest --preset win32
      stop_wine_server
    else
      ctest --preset win32 # what is read on this machine: the DLL's export table
      echo "win32: the DLL and the layout proof were built; the test suites were neither built nor run: no 32-bit Wine here (it installs only where i386 programs run natively)"
    fi
    ;;
  *) ctest --preset "${preset}" ;;
  esac
  mark "${preset} test"
done

echo "=== format check"
bash scripts/format.sh --check
mark "format check"
printf '%s\n' "${timings[@]}"
echo "all presets passed in ${SECONDS} s"
