#!/usr/bin/env bash
# tpk-host under HTTP load and at its edges, measured through its command line and HTTP only,
# beside bare servers in the same run:
#  1. wrk on GET /qel-mhx/v2/recently-played-champions/{accountId} (a cached collection, no
#     remote call) at 8, 64 and 256 connections: tpk-host's requests/s, p50, p99 and max latency,
#     the bare server's requests/s answering the same bytes (bench/bare_http_server: Beast, the HTTP
#     library tpk-host's server stands on), and the ratio of the two;
#  2. a routed remote answer, the game (about 27 KB) and its timeline (about 75 KB), through
#     tpk-host and the module to the stub, beside a bare proxy (bench/bare_proxy: cpp-httplib and
#     libcurl, the bytes passed on unchanged) to the same stub: p50 and p99 at one connection,
#     requests/s at four, and the ratios;
#  3. 20 well-formed requests on the cached route (p50, max) while SLOW connections sit in the
#     middle of a request head, one more header line every 2 s (bench/slow_clients), and how many
#     of them the host kept open;
#  4. tpk-host's RSS before and after 16 unauthenticated requests with 60 KiB heads, and the
#     statuses they got;
#  5. the stop: a second tpk-host whose remote service accepts and never answers, 16 calls
#     waiting on it, then SIGTERM: the time to exit (SIGKILL after 15 s), the exit status and
#     whether its run file is gone.
# Everything listens on loopback ports picked free; every process is ended by its id.
#   bench/http_bench.sh [SECONDS] [SLOW]     (defaults 10 s per wrk run and 1000 slow connections;
#   the default run takes about 4 minutes)
# With TPK_BENCH_BUILD=DIR the programs are taken from DIR as built there (the layout of a build
# tree: tpk-host, tpk-mhx-stub, tpk-be-qel-mhx.so, bench/...), for example an earlier build kept
# aside to compare with; otherwise the default preset is built first.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
slow=${2:-1000}

if [ -z "${TPK_BENCH_BUILD:-}" ]; then
  bash scripts/deps.sh >/dev/null
  cmake --preset default >/dev/null
  nice -n 10 cmake --build --preset default -j2 \
    --target tpk-host tpk-mhx-stub tpk-be-qel-mhx bare_http_server bare_proxy slow_clients >/dev/null
fi

# 256 wrk connections and a thousand slow ones, each a descriptor in this process tree.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || ulimit -n 65536 2>/dev/null || true

build=${TPK_BENCH_BUILD:-build/default}
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
max_latency() { awk '$1 == "Latency" && $2 != "Distribution" { print $4 }' "$1"; }
load() {
  local out=$1 connections=$2
  shift 2
  timeout $((seconds + 30)) wrk -t2 -c"${connections}" -d"${seconds}s" --timeout 10s --latency \
    "$@" >"${out}" || echo "http_bench: wrk failed or timed out ($?)" >>"${out}"
}
# Ends one process of tpk_pids now and takes it off the list.
stop_now() {
  local pid=$1 i
  tpk_stop "${pid}"
  for i in "${!tpk_pids[@]}"; do [ "${tpk_pids[i]}" != "${pid}" ] || unset 'tpk_pids[i]'; done
  tpk_pids=("${tpk_pids[@]}")
}
# Microseconds since the epoch.
now() { echo "${EPOCHREALTIME/./}"; }
# Prints "p50 X ms  max Y ms" of the numbers (seconds) in FILE, one a line.
p50_max_ms() {
  sort -g "$1" | awk '{ t[NR] = $1 } END {
    if (NR == 0) { print "no answers"; exit }
    printf "p50 %.1f ms  max %.1f ms", 1000 * t[int((NR + 1) / 2)], 1000 * t[NR] }'
}

echo "=== throughput: GET ${cached}, ${seconds} s per run, 2 wrk threads, $(wc -c <"${work}/cached.json") byte answer"
printf '%-12s %12s %10s %10s %10s %12s %7s\n' connections "tpk-host r/s" p50 p99 max "bare r/s" ratio
for connections in 8 64 256; do
  load "${work}/host-${connections}.txt" "${connections}" -H "${auth}" "${host_url}${cached}"
  load "${work}/bare-${connections}.txt" "${connections}" "${bare_url}${cached}"
  host_rps=$(requests_per_second "${work}/host-${connections}.txt")
  bare_rps=$(requests_per_second "${work}/bare-${connections}.txt")
  printf '%-12s %12s %10s %10s %10s %12s %7s\n' "${connections}" "${host_rps:-?}" \
    "$(percentile "${work}/host-${connections}.txt" 50)" "$(percentile "${work}/host-${connections}.txt" 99)" \
    "$(max_latency "${work}/host-${connections}.txt")" "${bare_rps:-?}" \
    "$(awk -v h="${host_rps:-0}" -v b="${bare_rps:-0}" 'BEGIN { if (b > 0) printf "%.2f", h / b; else print "?" }')"
done
echo "goals: tpk-host / bare >= 0.8; p99 < 50 ms at 256 connections"
for connections in 8 64 256; do
  for server in host bare; do
    grep -h "Non-2xx\|Socket errors\|http_bench:" "${work}/${server}-${connections}.txt" |
      sed "s/^ */  ${server}, ${connections} connections: /" || true
  done
done

echo
echo "=== routed remote answers: tpk-host with the module, and a bare proxy, to the same stub"
echo "    (p50 and p99 at 1 connection, requests/s at 4; ${seconds} s per run)"
"${build}/bench/bare_proxy" "${stub_url}" >"${work}/proxy.out" 2>&1 &
proxy_pid=$!
tpk_pids+=("${proxy_pid}")
proxy_url=$(tpk_await_line "${work}/proxy.out" '^listening on http://' "${proxy_pid}")
proxy_url=${proxy_url#listening on }
# Milliseconds of a wrk latency such as 1.12ms, 850.00us or 1.20s.
in_ms() { awk -v t="$1" 'BEGIN { v = t + 0; if (t ~ /us$/) v /= 1000; else if (t ~ /[0-9]s$/) v *= 1000; printf "%.3f", v }'; }
printf '%-9s %7s | %-22s %9s | %-22s %9s | %9s %9s
' document bytes "tpk-host p50 / p99" "r/s"   "proxy p50 / p99" "r/s" "p50 ratio" "r/s ratio"
for document in game timeline; do
  route="/qel-mhx/v1/games/6123456789" remote="/v1/stats/game/EUW1/6123456789"
  if [ "${document}" = timeline ]; then
    route="/qel-mhx/v1/gametimelines/6123456789" remote="${remote}/timeline"
  fi
  # The stub wants the headers the module sends; it does not check the token.
  remote_headers=(-H "AUTHORIZATION: VekTokenRaw demo-vek-token" -H "REGION: EUW1")
  bytes=$(curl -sS --max-time 10 "${remote_headers[@]}" "${stub_url}${remote}" | wc -c)
  timeout $((seconds + 30)) wrk -t1 -c1 -d"${seconds}s" --timeout 10s --latency -H "${auth}" \
    "${host_url}${route}" >"${work}/${document}-host-1.txt" || true
  timeout $((seconds + 30)) wrk -t1 -c1 -d"${seconds}s" --timeout 10s --latency \
    "${remote_headers[@]}" "${proxy_url}${remote}" >"${work}/${document}-proxy-1.txt" || true
  load "${work}/${document}-host-4.txt" 4 -H "${auth}" "${host_url}${route}"
  load "${work}/${document}-proxy-4.txt" 4 "${remote_headers[@]}" "${proxy_url}${remote}"
  host_p50=$(in_ms "$(percentile "${work}/${document}-host-1.txt" 50)")
  proxy_p50=$(in_ms "$(percentile "${work}/${document}-proxy-1.txt" 50)")
  host_rps=$(requests_per_second "${work}/${document}-host-4.txt")
  proxy_rps=$(requests_per_second "${work}/${document}-proxy-4.txt")
  printf '%-9s %7s | %-22s %9s | %-22s %9s | %9s %9s\n' "${document}" "${bytes}" \
    "${host_p50} / $(in_ms "$(percentile "${work}/${document}-host-1.txt" 99)") ms" "${host_rps:-?}" \
    "${proxy_p50} / $(in_ms "$(percentile "${work}/${document}-proxy-1.txt" 99)") ms" "${proxy_rps:-?}" \
    "$(awk -v h="${host_p50}" -v p="${proxy_p50}" 'BEGIN { if (p > 0) printf "%.2f", h / p; else print "?" }')" \
    "$(awk -v h="${host_rps:-0}" -v p="${proxy_rps:-0}" 'BEGIN { if (p > 0) printf "%.2f", h / p; else print "?" }')"
  grep -h "Non-2xx\|Socket errors\|http_bench:" "${work}/${document}"-*.txt | sed "s/^ */  ${document}: /" || true
done
echo "goal: tpk-host's p50 at most 1.5 x the proxy's"
stop_now "${proxy_pid}"

echo
echo "=== ${slow} slow-header connections (a header line every 2 s), 20 requests on GET ${cached}"
host_port=${host_url#http://}
"${build}/bench/slow_clients" --connections "${slow}" --every 2 --for 90 "${host_port}" \
  >"${work}/slow.out" 2>&1 &
slow_pid=$!
tpk_pids+=("${slow_pid}")
echo "slow connections: $(tpk_await_line "${work}/slow.out" '^opened ' "${slow_pid}")"
sleep 1
: >"${work}/slow-times.txt"
failed=0
for i in $(seq 20); do
  # A request that gets no answer counts with its time limit, 2 s.
  answer=$(curl -sS -o /dev/null --max-time 2 -H "${auth}" -w '%{http_code} %{time_total}' \
    "${host_url}${cached}" 2>/dev/null || true)
  [ "${answer%% *}" = 200 ] || failed=$((failed + 1))
  echo "${answer##* }" >>"${work}/slow-times.txt"
done
echo "well-formed requests: $(p50_max_ms "${work}/slow-times.txt"); ${failed} of 20 without a 200 within 2 s (goal: within 50 ms)"
stop_now "${slow_pid}"
grep '^status: ' "${work}/slow.out" | tail -n1 | sed 's/^status: /slow connections at the end: /' || true

echo
echo "=== RSS of tpk-host before and after 16 concurrent unauthenticated requests with a 60 KiB head"
rss() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status" 2>/dev/null || echo "?"; }
rss_before=$(rss "${host_pid}")
pad=$(head -c 61440 /dev/zero | tr '\0' a)
curl_pids=()
for i in $(seq 16); do
  curl -sS -o /dev/null --max-time 10 -H "X-Pad: ${pad}" -w '%{http_code}\n' "${host_url}${cached}" \
    >"${work}/pad-${i}.txt" 2>/dev/null &
  curl_pids+=($!)
  tpk_pids+=($!)
done
for pid in "${curl_pids[@]}"; do wait "${pid}" || true; done
for pid in "${curl_pids[@]}"; do stop_now "${pid}"; done
sleep 0.5
rss_after=$(rss "${host_pid}")
echo "RSS ${rss_before} kB before, ${rss_after} kB after;" \
  "statuses: $(cat "${work}"/pad-*.txt | sort | uniq -c | awk '{ printf "%s%s x %s", (NR > 1 ? ", " : ""), $1, $2 }')"

echo
echo "=== stop: a second tpk-host, 16 calls waiting on a remote service that never answers, SIGTERM"
"${build}/bench/slow_clients" --listen --for 90 >"${work}/silent.out" 2>&1 &
silent_pid=$!
tpk_pids+=("${silent_pid}")
silent_url=$(tpk_await_line "${work}/silent.out" '^listening on http://' "${silent_pid}")
silent_url=${silent_url#listening on }
# tpk_start_host writes its files under ${work} and sets host_*: give it a directory of its own.
main_work=${work}
work=${main_work}/silent
mkdir -m 700 "${work}"
tpk_start_host "${silent_url}"
work=${main_work}
silent_host_pid=${host_pid}
silent_host_url=${host_url}
silent_run_file=${run_file}
curl_pids=()
for i in $(seq 16); do
  curl -sS -o /dev/null --max-time 30 -H "Authorization: Bearer ${token}" -w '%{http_code}\n' \
    "${silent_host_url}/qel-mhx/v1/games/6123456789" >"${work}/silent-${i}.txt" 2>/dev/null &
  curl_pids+=($!)
  tpk_pids+=($!)
done
sleep 1
started=$(now)
kill -TERM "${silent_host_pid}"
while kill -0 "${silent_host_pid}" 2>/dev/null && [ $(($(now) - started)) -lt 15000000 ]; do
  sleep 0.02
done
killed=""
if kill -0 "${silent_host_pid}" 2>/dev/null; then
  kill -KILL "${silent_host_pid}" 2>/dev/null || true
  killed=" (still running after 15 s: killed)"
fi
ended=$(now)
status=0
wait "${silent_host_pid}" || status=$?
stop_now "${silent_host_pid}"
run_file_left="gone"
[ ! -e "${silent_run_file}" ] || run_file_left="left behind"
awk -v us=$((ended - started)) 'BEGIN { printf "stop time %.2f s", us / 1e6 }'
echo "${killed}, exit status ${status}, run file ${run_file_left} (goal: exit 0 within 2 s, run file gone)"
for pid in "${curl_pids[@]}"; do stop_now "${pid}"; done
echo "the 16 waiting calls: $(cat "${work}"/silent-*.txt | sort | uniq -c |
  awk '{ printf "%s%s x %s", (NR > 1 ? ", " : ""), $1, $2 }')"
