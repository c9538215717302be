# Shell helpers of scripts/demo.sh and bench/http_bench.sh: start the stub match-history service
# and tpk-host (with the module and a resources file pointed at the stub) on free loopback ports,
# wait for them within time limits, and end them by their process ids. Source it after setting
# `build` (the build tree) and `work` (a private scratch directory); `tpk_stop_all` ends what
# was started.

tpk_pids=()

# Ends one process we started, by its id: SIGTERM, then SIGKILL after 10 s.
tpk_stop() {
  local pid=$1 i
  [ -n "${pid}" ] || return 0
  kill -TERM "${pid}" 2>/dev/null || return 0
  for i in $(seq 100); do
    kill -0 "${pid}" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "${pid}" 2>/dev/null || true
  wait "${pid}" 2>/dev/null || true
}

# Ends every process started here, the latest first.
tpk_stop_all() {
  local i
  for ((i = ${#tpk_pids[@]} - 1; i >= 0; i--)); do tpk_stop "${tpk_pids[i]}"; done
  tpk_pids=()
}

# Prints the first line of FILE matching PATTERN, waiting at most 20 s while process PID lives.
tpk_await_line() {
  local file=$1 pattern=$2 pid=$3 i line
  for i in $(seq 200); do
    line=$(grep -m1 -E "${pattern}" "${file}" 2>/dev/null || true)
    if [ -n "${line}" ]; then
      echo "${line}"
      return 0
    fi
    kill -0 "${pid}" 2>/dev/null || break
    sleep 0.1
  done
  echo "no line matching '${pattern}' from process ${pid}:" >&2
  cat "${file}" >&2 || true
  return 1
}

# Starts the stub; sets stub_pid and stub_url.
tpk_start_stub() {
  "${build}/tpk-mhx-stub" "$@" >"${work}/stub.out" 2>"${work}/stub.log" &
  stub_pid=$!
  tpk_pids+=("${stub_pid}")
  stub_url=$(tpk_await_line "${work}/stub.out" '^listening on http://' "${stub_pid}")
  stub_url=${stub_url#listening on }
}

# Starts tpk-host with the module and examples/resources.yaml pointed at STUB_URL; sets host_pid,
# host_url, run_file and token.
tpk_start_host() {
  local stub=$1 i
  sed "s|^  Endpoint: .*|  Endpoint: ${stub}|" examples/resources.yaml >"${work}/resources.yaml"
  mkdir -p -m 700 "${work}/run"
  "${build}/tpk-host" --resources "${work}/resources.yaml" --runtime-dir "${work}/run" \
    "${build}/tpk-be-qel-mhx.so" >"${work}/host.out" 2>"${work}/host.log" &
  host_pid=$!
  tpk_pids+=("${host_pid}")
  host_url=$(tpk_await_line "${work}/host.out" '^listening on http://' "${host_pid}")
  host_url=${host_url#listening on }
  run_file="${work}/run/tpk-host-${host_pid}.json"
  for i in $(seq 100); do
    [ -s "${run_file}" ] && break
    sleep 0.1
  done
  token=$(sed -n 's/.*"token": *"\([0-9a-f]*\)".*/\1/p' "${run_file}" 2>/dev/null || true)
  if [ -z "${token}" ]; then
    echo "no token in the run file ${run_file}" >&2
    return 1
  fi
}
