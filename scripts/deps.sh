#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the fuzzers need.
# Idempotent: it asks dpkg first and touches apt only when something is missing, so it is
# cheap to run before every build.
set -euo pipefail

packages=(
  g++ g++-multilib cmake ninja-build
  rapidjson-dev libyaml-dev libyaml-dev:i386
  libgtest-dev googletest libbenchmark-dev
  nlohmann-json3-dev libmsgpack-cxx-dev libyaml-cpp-dev
  clang libclang-rt-14-dev clang-format
  libcpp-httplib-dev libcurl4-openssl-dev
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "deps: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
# A single index can fail transiently (a mirror mid-sync); the install below decides.
"${sudo_cmd[@]}" apt-get update || echo "deps: apt-get update reported a failure; trying the install anyway" >&2
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends --no-remove "${missing[@]}"
