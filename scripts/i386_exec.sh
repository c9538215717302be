#!/usr/bin/env bash
# Makes sure this machine executes i386 programs, for the x86 preset's tests. Sourced by
# deps.sh after the packages are in (it needs g++-multilib and sudo_cmd / install_packages).
# A kernel that runs them natively is left alone; one that refuses them ("exec format error")
# gets qemu-i386 registered with binfmt_misc, so that every exec of an i386 file, a test's
# re-execution of itself included, goes through the emulator. Running it twice changes
# nothing. If neither works the build of the x86 preset cannot prove anything: fail loudly.

i386_probe_dir=""
i386_probe_runs() {
  if [ -z "${i386_probe_dir}" ]; then
    i386_probe_dir=$(mktemp -d)
    # shellcheck disable=SC2064
    trap "rm -rf '${i386_probe_dir}'" EXIT
    printf '%s\n' '#include <stdio.h>' \
      'int main(void) { printf("%u\n", (unsigned)sizeof(void *)); return 0; }' \
      >"${i386_probe_dir}/probe.c"
    if ! gcc -m32 -o "${i386_probe_dir}/probe" "${i386_probe_dir}/probe.c" 2>"${i386_probe_dir}/cc.log"; then
      echo "deps: cannot build a -m32 program:" >&2
      cat "${i386_probe_dir}/cc.log" >&2
      return 2
    fi
  fi
  [ "$("${i386_probe_dir}/probe" 2>/dev/null)" = "4" ]
}

i386_binfmt_dir=/proc/sys/fs/binfmt_misc
i386_binfmt_name=tpk-qemu-i386
# ELF, 32-bit, little endian, version 1, any OS ABI; e_type EXEC or DYN (PIE); e_machine 3.
i386_binfmt_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_binfmt_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

register_qemu_i386() {
  install_packages qemu-user
  local qemu=/usr/bin/qemu-i386
  if [ ! -x "${qemu}" ]; then
    echo "deps: qemu-user is installed but ${qemu} is missing" >&2
    return 1
  fi
  if [ ! -e "${i386_binfmt_dir}/register" ]; then
    "${sudo_cmd[@]}" mount -t binfmt_misc binfmt_misc "${i386_binfmt_dir}" || return 1
  fi
  if [ -e "${i386_binfmt_dir}/status" ] && [ "$(cat "${i386_binfmt_dir}/status")" != enabled ]; then
    echo 1 | "${sudo_cmd[@]}" tee "${i386_binfmt_dir}/status" >/dev/null || return 1
  fi
  # An entry of ours left disabled or pointing elsewhere is replaced; an enabled one is kept.
  local entry="${i386_binfmt_dir}/${i386_binfmt_name}"
  if [ -e "${entry}" ]; then
    if head -n1 "${entry}" | grep -qx enabled && grep -qx "interpreter ${qemu}" "${entry}"; then
      return 0
    fi
    echo -1 | "${sudo_cmd[@]}" tee "${entry}" >/dev/null || return 1
  fi
  # F: the kernel opens the interpreter now, so it is found from any mount namespace.
  printf ':%s:M::%s:%s:%s:F\n' "${i386_binfmt_name}" "${i386_binfmt_magic}" \
    "${i386_binfmt_mask}" "${qemu}" | "${sudo_cmd[@]}" tee "${i386_binfmt_dir}/register" >/dev/null
}

# True when the kernel itself runs i386 programs: the probe runs, and not through our emulator.
i386_runs_natively() {
  local entry="${i386_binfmt_dir}/${i386_binfmt_name}"
  if [ -e "${entry}" ] && head -n1 "${entry}" | grep -qx enabled; then
    return 1
  fi
  i386_probe_runs
}

ensure_i386_exec() {
  local rc=0
  i386_probe_runs || rc=$?
  if [ "${rc}" -eq 0 ]; then
    return 0
  fi
  if [ "${rc}" -eq 2 ]; then
    exit 1
  fi
  if register_qemu_i386 && i386_probe_runs; then
    echo "deps: this kernel runs no i386 program; registered /usr/bin/qemu-i386 for i386 ELF files in binfmt_misc"
    return 0
  fi
  echo "deps: this machine cannot execute i386 programs, natively or through qemu-i386 in binfmt_misc; the x86 tests cannot run" >&2
  exit 1
}
