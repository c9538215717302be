#!/usr/bin/env bash
# What the Windows cross builds (presets win64 and win32) need, sourced by deps.sh after the
# Linux packages (it uses sudo_cmd, installed, install_packages, apt_install and i386_exec.sh):
# - the MinGW-w64 compilers and 64-bit Wine, which runs the win64 suites;
# - 32-bit Wine too where the kernel runs i386 programs natively (not through qemu-i386, under
#   which Wine does not start). wine64 and wine32:i386 go to apt in one call: installing
#   wine32:i386 alone makes apt remove wine64;
# - libyaml's source, from Debian's own source package, unpacked under build/sources, where the
#   Windows builds compile it (the Debian library is built for Linux only).

windows_sources_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/sources"

# A deb-src entry beside the system's deb entries for the same archive and release, added once.
add_debian_sources() {
  local list=/etc/apt/sources.list.d/tpk-deb-src.sources codename
  if [ -e "${list}" ] || apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -qx Sources; then
    return 0
  fi
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME}")
  printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' "Suites: ${codename}" \
    'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
    "${sudo_cmd[@]}" tee "${list}" >/dev/null
  echo "deps: added ${list} for Debian's source packages"
  "${sudo_cmd[@]}" apt-get update || echo "deps: apt-get update reported a failure; trying the download anyway" >&2
}

fetch_libyaml_source() {
  if [ -f "${windows_sources_dir}/libyaml/src/api.c" ]; then
    return 0
  fi
  add_debian_sources
  local work
  work=$(mktemp -d)
  echo "deps: fetching Debian's source package of libyaml"
  # Unpacked (with Debian's patches) by dpkg-source. A source index missing from apt's lists
  # (cleaned since the entry was added) is fetched once before a second try.
  if ! (cd "${work}" && apt-get source libyaml >"${work}/log" 2>&1); then
    "${sudo_cmd[@]}" apt-get update >/dev/null 2>&1 || true
    if ! (cd "${work}" && apt-get source libyaml >"${work}/log" 2>&1); then
      cat "${work}/log" >&2
      rm -rf "${work}"
      return 1
    fi
  fi
  mkdir -p "${windows_sources_dir}"
  rm -rf "${windows_sources_dir}/libyaml"
  mv "$(find "${work}" -mindepth 1 -maxdepth 1 -type d -name 'libyaml-*' | head -n1)" \
    "${windows_sources_dir}/libyaml"
  rm -rf "${work}"
}

install_windows_deps() {
  local wine=(wine64)
  if i386_runs_natively; then wine+=(wine32:i386); fi
  install_packages mingw-w64
  # All of Wine or nothing, in one call (see above).
  local p
  for p in "${wine[@]}"; do
    if ! installed "${p}"; then
      echo "deps: installing ${wine[*]}"
      apt_install "${wine[@]}"
      break
    fi
  done
  fetch_libyaml_source
}
