#!/usr/bin/env bash
# tpk-host under HTTP load, with wrk, beside a bare cpp-httplib server in the same run:
#  1. throughput of GET /qel-mhx/v2/recently-played-champions/{accountId} (a cached collection,
#     no remote call) through tpk-host, and of the bare server answering the same bytes;
#  2. latency (p50, p99) of GET /qel-mhx/v1/games/{gameId} through tpk-host to the stub service.
# Everything listens on loopback ports picked free; every process is ended by its id.
#   bench/http_bench.sh [SECONDS] [CONNECTIONS]     (defaults 10 and 8; both servers have 16
#   workers, and each kept-alive connection holds one)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
connections=${2:-8}

bash scripts/deps.sh >/dev/null
cmake --preset default >/dev/null
cmake --build --preset default --target tpk-host tpk-mhx-stub tpk-be-qel-mhx bare_http_server >/dev/null

build=build/default
work=$(mktemp -d "${TMPDIR:-/tmp}/tpk-http-bench.XXXXXX")
chmod 700 "${work}"
source scripts/run_lib.sh
trap 'tpk_stop_all; rm -rf "${work}"' EXIT
trap 'exit 130' INT TERM

tpk_start_stub --late-ms 1
tpk_start_host "${stub_url}"
auth="Authorization: Bearer ${token}"

# The session's refresh caches the player's collection; wait (bounded) until it is there.
cached="/qel-mhx/v2/recently-played-champions/2100000001"
for i in $(seq 100); do
  curl -sS --max-time 5 -H "${auth}" -o "${work}/cached.json" "${host_url}${cached}" || true
  grep -q '"gameCount":0' "${work}/cached.json" || break
  sleep 0.1
done
if grep -q '"gameCount":0' "${work}/cached.json"; then
  echo "http_bench: the collection never got cached" >&2
  exit 1
fi

"${build}/bench/bare_http_server" "${work}/cached.json" >"${work}/bare.out" 2>&1 &
bare_pid=$!
tpk_pids+=("${bare_pid}")
bare_url=$(tpk_await_line "${work}/bare.out" '^listening on http://' "${bare_pid}")
bare_url=${bare_url#listening on }

requests_per_second() { sed -n 's/^Requests\/sec: *\([0-9.]*\).*/\1/p' "$1"; }
percentile() { sed -n "s/^ *$2% *\([0-9.]*[a-z]*\).*/\1/p" "$1"; }
load() {
  local out=$1
  shift
  timeout $((seconds + 30)) wrk -t2 -c"${connections}" -d"${seconds}s" --timeout 10s "$@" >"${out}"
}

echo "=== throughput: ${seconds} s, ${connections} connections, 2 threads, $(wc -c <"${work}/cached.json") byte answer"
load "${work}/host.txt" -H "${auth}" "${host_url}${cached}"
load "${work}/bare.txt" "${bare_url}${cached}"
host_rps=$(requests_per_second "${work}/host.txt")
bare_rps=$(requests_per_second "${work}/bare.txt")
printf '%-40s %12s req/s\n' "HttpRoute/cached-collection/tpk-host" "${host_rps}"
printf '%-40s %12s req/s\n' "HttpRoute/cached-collection/bare" "${bare_rps}"
awk -v h="${host_rps}" -v b="${bare_rps}" 'BEGIN { printf "tpk-host / bare throughput: %.2f (goal >= 0.50)\n", h / b }'
grep -h "Non-2xx\|Socket errors" "${work}/host.txt" "${work}/bare.txt" || true

echo
echo "=== latency: GET /qel-mhx/v1/games/{gameId} through tpk-host to the stub, ${seconds} s, 4 connections"
timeout $((seconds + 30)) wrk -t1 -c4 -d"${seconds}s" --timeout 10s --latency -H "${auth}" \
  "${host_url}/qel-mhx/v1/games/6123456789" >"${work}/game.txt"
printf 'p50 %s  p99 %s  (%s req/s)\n' "$(percentile "${work}/game.txt" 50)" \
  "$(percentile "${work}/game.txt" 99)" "$(requests_per_second "${work}/game.txt")"
grep -h "Non-2xx\|Socket errors" "${work}/game.txt" || true
