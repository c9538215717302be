#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the coverage, the benchmarks and the fuzzers
# need, and the npm packages of the tests' OpenAPI validator. Idempotent: it asks dpkg (and the
# validator's node_modules) first and touches apt or npm only when something is missing, so it is
# cheap to run before every build.
set -euo pipefail

packages=(
  g++ g++-multilib cmake ninja-build
  rapidjson-dev libyaml-dev libyaml-dev:i386
  libgtest-dev googletest libbenchmark-dev
  nlohmann-json3-dev libmsgpack-cxx-dev libyaml-cpp-dev
  clang libclang-rt-14-dev clang-format
  libcpp-httplib-dev libboost-dev libcurl4-openssl-dev pkg-config wrk
  gcovr dpkg-dev
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

# The OpenAPI validator of the tests (tests/cli/openapi) runs on node, with the npm packages its
# lock file pins: installed by `npm ci` when node_modules is missing or older than the lock.
# Node may come from elsewhere than Debian (npm inside it); Debian's packages fill what is absent.
if ! command -v node >/dev/null; then install_packages nodejs; fi
if ! command -v npm >/dev/null; then install_packages npm; fi
validator_dir="$(cd "$(dirname "$0")/.." && pwd)/tests/cli/openapi"
if [ ! -d "${validator_dir}/node_modules" ] ||
  [ "${validator_dir}/package-lock.json" -nt "${validator_dir}/node_modules" ]; then
  echo "deps: installing the OpenAPI validator's npm packages"
  (cd "${validator_dir}" && npm ci --no-audit --no-fund)
  touch "${validator_dir}/node_modules"
fi

# shellcheck source=scripts/i386_exec.sh
source "$(dirname "$0")/i386_exec.sh"
# shellcheck source=scripts/windows_deps.sh
source "$(dirname "$0")/windows_deps.sh"
install_windows_deps

# The x86 preset runs its tests as ordinary i386 programs (its death tests re-execute their
# own binary), so the kernel must run them: natively, or through qemu-i386 registered with
# binfmt_misc where the kernel answers "exec format error".
ensure_i386_exec
