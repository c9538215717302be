# The curl transport against loopback peers: a cpp-httplib server (plain and TLS, with
# certificates made by the test through OpenSSL) and a raw socket peer. The same source builds
# the concurrency executable, which holds only the test of several threads sending at once.
find_package(OpenSSL REQUIRED)
tpk_add_test(tpk_cli_curl_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/curl_transport_test.cpp
  LIBS tpk_cli_curl PkgConfig::HTTPLIB OpenSSL::SSL OpenSSL::Crypto
  LABELS cli)
tpk_add_test(tpk_cli_curl_concurrency_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/curl_transport_test.cpp
  LIBS tpk_cli_curl PkgConfig::HTTPLIB OpenSSL::SSL OpenSSL::Crypto
  LABELS concurrency)
target_compile_definitions(tpk_cli_curl_concurrency_tests PRIVATE TPK_CURL_CONCURRENCY_TESTS=1)
