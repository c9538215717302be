# The OpenAPI document: each test document compared whole with its expected text in openapi/
# (openapi_test.cpp, the module linked in), and the validity of those texts (of the module's
# document and of the edge-case modules'), checked by a real OpenAPI validator (tests/cli/openapi,
# installed by scripts/deps.sh).
tpk_add_test(tpk_cli_openapi_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/openapi_test.cpp
  LIBS tpk_cli_openapi tpk_mhx
  LABELS cli)
set(tpk_openapi_dir ${CMAKE_CURRENT_LIST_DIR}/openapi)
target_compile_definitions(tpk_cli_openapi_tests PRIVATE TPK_OPENAPI_DIR="${tpk_openapi_dir}")

if(NOT TPK_TSAN)
  find_program(TPK_NODE node)
  if(TPK_NODE)
    add_test(NAME cli.openapi.validate
      COMMAND ${TPK_NODE} ${tpk_openapi_dir}/validate.mjs
              ${tpk_openapi_dir}/module.json ${tpk_openapi_dir}/edge.json)
  else()
    # Without node the documents go unchecked: fail, and say how to get it.
    add_test(NAME cli.openapi.validate
      COMMAND sh -c "echo 'node is not installed; run scripts/deps.sh' >&2; exit 1")
  endif()
  set_tests_properties(cli.openapi.validate PROPERTIES LABELS cli TIMEOUT 120)
endif()
