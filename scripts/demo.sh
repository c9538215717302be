#!/usr/bin/env bash
# The main job: the match-history module at work outside the game client. Installs dependencies,
# builds the default preset, starts the stub match-history service and tpk-host (with the module
# and examples/resources.yaml, pointed at the stub) on free loopback ports, calls the module's ten
# routes over HTTP and shows each status with the start of its body, shows the recently-played
# publication arriving on /events, then stops both by their process ids.
#
#   scripts/demo.sh           the run above; exits non-zero if a step fails
#   scripts/demo.sh --serve   starts both, prints the web console's link (with the token in its
#                             fragment) and keeps them running (Ctrl-C stops them)
set -euo pipefail
cd "$(dirname "$0")/.."

serve=0
case "${1:-}" in
  "") ;;
  --serve) serve=1 ;;
  -h | --help)
    sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
  *)
    echo "demo: unknown option '$1' (try --help)" >&2
    exit 2
    ;;
esac

bash scripts/deps.sh

echo "=== build (preset default)"
cmake --preset default >/dev/null
cmake --build --preset default --target tpk-host tpk-mhx-stub tpk-be-qel-mhx

build=build/default
work=$(mktemp -d "${TMPDIR:-/tmp}/tpk-demo.XXXXXX")
chmod 700 "${work}"
source scripts/run_lib.sh
events_pid=""
cleanup() {
  tpk_stop "${events_pid}"
  tpk_stop_all
  rm -rf "${work}"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "=== start the stub match-history service"
tpk_start_stub
echo "stub: ${stub_url} (pid ${stub_pid})"

echo "=== start tpk-host with the module"
tpk_start_host "${stub_url}"
sed -n '1,/^listening on/p' "${work}/host.out"
echo "run file: ${run_file}"

api() {
  curl -sS --max-time 30 -H "Authorization: Bearer ${token}" "$@"
}

if [ "${serve}" -eq 1 ]; then
  echo
  echo "console: ${host_url}/#token=${token}"
  echo "  (open it in a browser on this machine: the match history of the demo player, live)"
  echo "tpk-host is serving at ${host_url} (the run file ${run_file} holds its token);"
  echo "for example:  curl -H \"Authorization: Bearer \$(sed -n 's/.*\"token\":\"\\([0-9a-f]*\\)\".*/\\1/p' ${run_file})\" ${host_url}/qel-mhx/v1/delta"
  echo "Ctrl-C stops tpk-host and the stub."
  wait "${host_pid}" || true
  exit 0
fi

# Watch the publications of the module while the routes run.
api -N --max-time 60 "${host_url}/events?prefix=/qel-mhx/" >"${work}/events.txt" 2>/dev/null &
events_pid=$!
sleep 0.5

echo
echo "=== the ten routes"
printf '%-4s %-6s %-62s %s\n' "#" "status" "route" "body (start)"
failures=0
n=0
call() {
  local method=$1 target=$2 data=${3:-} status body
  n=$((n + 1))
  if [ -n "${data}" ]; then
    status=$(api -o "${work}/body" -w '%{http_code}' -X "${method}" -H 'Content-Type: application/json' \
      --data "${data}" "${host_url}${target}") || status=000
  else
    status=$(api -o "${work}/body" -w '%{http_code}' -X "${method}" "${host_url}${target}") || status=000
  fi
  body=$(head -c 70 "${work}/body" 2>/dev/null | tr -d '\r\n' || true)
  printf '%-4s %-6s %-62s %s\n' "${n}" "${status}" "${method} ${target}" "${body}"
  case "${status}" in 2*) ;; *) failures=$((failures + 1)) ;; esac
}
call GET /qel-mhx/v1/games/6123456789
call GET /qel-mhx/v1/gametimelines/6123456789
call GET /qel-mhx/v1/matchlists/0
call GET /qel-mhx/v1/matchlists/2100000002
call GET /qel-mhx/v1/delta
call GET /qel-mhx/v2/request-recently-played-champions/2100000003
call GET /qel-mhx/v2/request-recently-played-champions/current-summoner?force=true
call GET /qel-mhx/v2/recently-played-champions/current-summoner
call GET '/qel-mhx/v1/recently-played-champions/2100000002?force=true'
call POST /qel-mhx/v1/mhx-endpoint-override "{\"url\":\"${stub_url}\"}"
call GET /qel-mhx/v2/recently-played-champions/2100000003

echo
echo "=== a remote failure, as the caller sees it (the stub answers 404 for game 404)"
api -w '  -> %{http_code}\n' "${host_url}/qel-mhx/v1/games/404"

echo
echo "=== publications on /events"
for i in $(seq 100); do
  grep -q 'recently-played-champions' "${work}/events.txt" 2>/dev/null && break
  sleep 0.1
done
if grep -q 'recently-played-champions' "${work}/events.txt"; then
  # Each publication arrives under its resource's event name and under "OnJsonApiEvent"; one
  # row per publication.
  printf '%-8s %-62s %s\n' "type" "uri" "data"
  sed -n -E 's/^data: .*"gameCount":([0-9]+).*"eventType":"([^"]*)","name":"OnJsonApiEvent","uri":"([^"]*)".*/\2 \3 \1/p' \
    "${work}/events.txt" | while read -r type uri games; do
    printf '%-8s %-62s gameCount %s\n' "${type}" "${uri}" "${games}"
  done
else
  echo "demo: no recently-played publication arrived on /events" >&2
  failures=$((failures + 1))
fi

echo
echo "=== stop tpk-host and the stub"
tpk_stop "${events_pid}"
events_pid=""
tpk_stop_all
if [ -e "${run_file}" ]; then
  echo "demo: the run file is still there after tpk-host stopped" >&2
  failures=$((failures + 1))
fi
echo "stub log (last lines):"
tail -n 5 "${work}/stub.log" | sed 's/^/  /'

echo
if [ "${failures}" -ne 0 ]; then
  echo "demo: ${failures} step(s) failed"
  exit 1
fi
echo "demo: ${n} calls answered, the publication arrived, both processes stopped"
