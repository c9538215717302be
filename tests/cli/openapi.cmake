# The OpenAPI document: its exact content (openapi_test.cpp, the module linked in), and its
# validity, checked by a real OpenAPI validator (tests/cli/openapi, installed by
# scripts/deps.sh) on the documents of the module loaded from its shared object and of the
# edge-case modules.
tpk_add_test(tpk_cli_openapi_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/openapi_test.cpp
  LIBS tpk_cli_openapi tpk_mhx
  LABELS cli)
target_include_directories(tpk_cli_openapi_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})

if(TARGET tpk-be-qel-mhx AND NOT TPK_TSAN)
  set(tpk_openapi_dir ${CMAKE_CURRENT_BINARY_DIR})
  add_executable(tpk_openapi_documents ${CMAKE_CURRENT_LIST_DIR}/openapi/write_documents.cpp)
  target_link_libraries(tpk_openapi_documents PRIVATE tpk_cli_openapi)
  target_include_directories(tpk_openapi_documents PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  add_dependencies(tpk_openapi_documents tpk-be-qel-mhx)
  add_dependencies(tpk_cli_openapi_tests tpk_openapi_documents)

  add_test(NAME cli.openapi.write
    COMMAND tpk_openapi_documents $<TARGET_FILE:tpk-be-qel-mhx>
            ${tpk_openapi_dir}/openapi-module.json ${tpk_openapi_dir}/openapi-edge.json)
  set_tests_properties(cli.openapi.write PROPERTIES
    LABELS cli FIXTURES_SETUP tpk_openapi_documents TIMEOUT 60)

  find_program(TPK_NODE node)
  set(tpk_validator ${CMAKE_CURRENT_LIST_DIR}/openapi)
  if(TPK_NODE)
    add_test(NAME cli.openapi.validate
      COMMAND ${TPK_NODE} ${tpk_validator}/validate.mjs
              ${tpk_openapi_dir}/openapi-module.json ${tpk_openapi_dir}/openapi-edge.json)
  else()
    # Without node the documents go unchecked: fail, and say how to get it.
    add_test(NAME cli.openapi.validate
      COMMAND sh -c "echo 'node is not installed; run scripts/deps.sh' >&2; exit 1")
  endif()
  set_tests_properties(cli.openapi.validate PROPERTIES
    LABELS cli FIXTURES_REQUIRED tpk_openapi_documents TIMEOUT 120)
endif()
