#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the coverage, the benchmarks and the fuzzers
# need, the npm packages of the web console and of the tests (OpenAPI validator, browser driver),
# and what the Windows builds need. Idempotent: it asks dpkg (and each node_modules) first and
# touches apt or npm only when something is missing, so it is cheap to run before every build.
set -euo pipefail

packages=(
  g++ g++-multilib cmake ninja-build
  rapidjson-dev libyaml-dev libyaml-dev:i386
  libgtest-dev googletest libbenchmark-dev
  nlohmann-json3-dev libmsgpack-cxx-dev libyaml-cpp-dev
  clang libclang-rt-14-dev clang-format
  libcpp-httplib-dev libboost-dev libcurl4-openssl-dev pkg-config wrk
  gcovr dpkg-dev chromium
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

# Installed means: a line of dpkg's for the package with the native architecture (or "all"),
# or with the architecture named after a colon. With two architectures installed, dpkg answers
# for both, one line each.
native=$(dpkg --print-architecture)
installed() {
  local name=${1%%:*} wanted=${native}
  case "$1" in *:*) wanted=${1#*:} ;; esac
  dpkg-query -W -f='${Status} ${Architecture}\n' "$name" 2>/dev/null |
    grep -qE "^install ok installed (${wanted}|all)$"
}

apt_updated=0
# apt-get install of exactly the packages given, after one apt-get update per run.
apt_install() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
    apt_updated=0
  fi
  if [ "${apt_updated}" -eq 0 ]; then
    # A single index can fail transiently (a mirror mid-sync); the install below decides.
    "${sudo_cmd[@]}" apt-get update || echo "deps: apt-get update reported a failure; trying the install anyway" >&2
    apt_updated=1
  fi
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends --no-remove "$@"
}

install_packages() {
  local missing=() p
  for p in "$@"; do
    installed "$p" || missing+=("$p")
  done
  if [ "${#missing[@]}" -eq 0 ]; then
    return 0
  fi
  echo "deps: installing ${missing[*]}"
  apt_install "${missing[@]}"
}

install_packages "${packages[@]}"

# npm packages, each folder's pinned by its lock file and installed by `npm ci` when its
# node_modules is missing or older than the lock: the OpenAPI validator of the tests
# (tests/cli/openapi), the web console's libraries, which the build embeds in tpk-host
# (host/console), and the browser test's driver and accessibility checker (tests/console), which
# runs Debian's chromium. Node may come from elsewhere than Debian (npm inside it); Debian's
# packages fill what is absent.
if ! command -v node >/dev/null; then install_packages nodejs; fi
if ! command -v npm >/dev/null; then install_packages npm; fi
root_dir="$(cd "$(dirname "$0")/.." && pwd)"
for npm_dir in tests/cli/openapi host/console tests/console; do
  npm_dir="${root_dir}/${npm_dir}"
  [ -f "${npm_dir}/package-lock.json" ] || continue
  if [ ! -d "${npm_dir}/node_modules" ] ||
    [ "${npm_dir}/package-lock.json" -nt "${npm_dir}/node_modules" ]; then
    echo "deps: installing the npm packages of ${npm_dir#"${root_dir}"/}"
    (cd "${npm_dir}" && npm ci --no-audit --no-fund)
    touch "${npm_dir}/node_modules"
  fi
done

# shellcheck source=scripts/i386_exec.sh
source "$(dirname "$0")/i386_exec.sh"
# shellcheck source=scripts/windows_deps.sh
source "$(dirname "$0")/windows_deps.sh"
install_windows_deps

# The x86 preset runs its tests as ordinary i386 programs (its death tests re-execute their
# own binary), so the kernel must run them: natively, or through qemu-i386 registered with
# binfmt_misc where the kernel answers "exec format error".
ensure_i386_exec
