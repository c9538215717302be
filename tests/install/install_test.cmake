# Installs the build tree TPK_BUILD_DIR under a fresh prefix in TPK_WORK_DIR, checks the files,
# then builds the C host of c_host/ twice against the installed package (find_package, then
# pkg-config) and runs each: both must load the installed module and print EXPECTED.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "'${ARGN}' failed (${rc}):\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${TPK_WORK_DIR}/prefix)
file(REMOVE_RECURSE ${TPK_WORK_DIR})
run(${CMAKE_COMMAND} --install ${TPK_BUILD_DIR} --prefix ${prefix})

set(files include/tpk/plugin_abi.h lib/tpk/tpk-be-qel-mhx.so lib/cmake/tpk/tpkConfig.cmake
          lib/cmake/tpk/tpkConfigVersion.cmake lib/pkgconfig/tpk.pc)
foreach(program IN LISTS TPK_PROGRAMS)
  list(APPEND files bin/${program})
endforeach()
foreach(file IN LISTS files)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "${file} is not installed")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${TPK_C_HOST_SOURCE} -B ${TPK_WORK_DIR}/package-host -G Ninja
    -DCMAKE_C_COMPILER=${TPK_C_COMPILER} -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${TPK_WORK_DIR}/package-host)
run(${TPK_WORK_DIR}/package-host/tpk_c_host)
if(NOT out STREQUAL "${EXPECTED}\n")
  message(FATAL_ERROR "the find_package host printed '${out}', not '${EXPECTED}'")
endif()

set(pc ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig pkg-config)
run(${pc} --cflags tpk)
string(STRIP "${out}" cflags)
run(${pc} --variable=moduledir tpk)
string(STRIP "${out}" moduledir)
run(${TPK_C_COMPILER} ${cflags} -std=c11 -Wall -Werror
    "-DTPK_MODULE_PATH=\"${moduledir}/tpk-be-qel-mhx.so\""
    ${TPK_C_HOST_SOURCE}/c_host.c -o ${TPK_WORK_DIR}/pc-host -ldl)
run(${TPK_WORK_DIR}/pc-host)
if(NOT out STREQUAL "${EXPECTED}\n")
  message(FATAL_ERROR "the pkg-config host printed '${out}', not '${EXPECTED}'")
endif()
