# The module file's export table holds exactly the one export: run as a test with
# -DMODULE=<file> -DTOOL=<nm or objdump> -DEXPECTED=<name>. A shared object's defined dynamic
# symbols are read with `nm -D --defined-only`, a DLL's export names with `objdump -p`. It runs on
# the build machine, so a cross build checks its module without running it.
if(MODULE MATCHES "\\.dll$")
  execute_process(COMMAND ${TOOL} -p ${MODULE} OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
  # The names follow the "[Ordinal/Name Pointer] Table" line, one "[ i] name" per line.
  string(REGEX REPLACE ".*\\[Ordinal/Name Pointer\\] Table[^\n]*\n" "" listing "${listing}")
  string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [^\n]+" lines "${listing}")
  set(names)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "\t\\[ *[0-9]+\\] " "" name "${line}")
    list(APPEND names "${name}")
  endforeach()
else()
  execute_process(COMMAND ${TOOL} -D --defined-only ${MODULE} OUTPUT_VARIABLE listing
                  RESULT_VARIABLE failed)
  string(REGEX MATCHALL "[^\n]+" lines "${listing}")
  set(names)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ".* ([^ @]+)(@.*)?$" "\\1" name "${line}")
    list(APPEND names "${name}")
  endforeach()
endif()
if(failed)
  message(FATAL_ERROR "${TOOL} could not read ${MODULE}: ${failed}")
endif()
if(NOT names STREQUAL EXPECTED)
  message(FATAL_ERROR "${MODULE} exports [${names}], not [${EXPECTED}]")
endif()
message(STATUS "${MODULE} exports ${names}")
