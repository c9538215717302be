// The answer to a module's response without a socket: its status, body and headers, one row per
// rule of module_answer.h.
#include "cli/module_answer.h"

#include <gtest/gtest.h>

#include <string>

#include "support/cli_support.h"

namespace {

using namespace Oxle::Client::Host;
using namespace Oxle::Client::Host::Cli;
using CliSupport::Error;

// What a module answered: a failure when `message` is set, else {"ok":true} or the body stream
// `stream`; its headers as "name: value" separated by "|". What goes out: the status, the body
// and the headers as "Name: value;" in order, one space between them.
struct Row {
  const char* what;
  uint32_t status;
  const char* message;
  const char* stream;
  const char* readError;
  std::string headers;
  uint32_t wantStatus;
  std::string wantBody, wantHeaders;
};

TEST(ModuleAnswer, StatusBodyAndHeadersFollowTheirRules) {
  const std::string ok = R"({"ok":true})", json = "Content-Type: application/json;";
  const std::string bytes = "Content-Type: application/octet-stream;";
  const Row rows[] = {
      {"1xx success", 101, nullptr, nullptr, "", "", 200, ok, json},
      {"1xx error", 101, "early", nullptr, "", "", 500, Error(500, "early"), json},
      {"status not set", 0, nullptr, nullptr, "", "", 200, ok, json},
      {"2xx kept", 201, nullptr, nullptr, "", "", 201, ok, json},
      {"204 without body", 204, nullptr, nullptr, "", "", 204, "", ""},
      {"304 without body", 304, nullptr, nullptr, "", "", 304, "", ""},
      {"4xx error kept", 418, "stout", nullptr, "", "", 418, Error(418, "stout"), json},
      {"5xx error kept", 503, "busy", nullptr, "", "", 503, Error(503, "busy"), json},
      {"600+ success", 600, nullptr, nullptr, "", "", 200, ok, json},
      {"600+ error", 600, "odd", nullptr, "", "", 500, Error(500, "odd"), json},
      {"error not set", 0, "unset", nullptr, "", "", 500, Error(500, "unset"), json},
      {"error below 400", 201, "says 201", nullptr, "", "", 500, Error(500, "says 201"), json},
      {"read error", 200, nullptr, nullptr, "cut short", "", 502, Error(502, "cut short"), json},
      {"stream untyped", 0, nullptr, "data", "", "", 200, "data", bytes},
      {"stream typed", 0, nullptr, "data", "", "content-TYPE: text/a", 200, "data",
       "Content-Type: text/a;"},
      {"kept", 201, nullptr, nullptr, "", "x-a: 1\t2|x-b: ", 201, ok, json + " x-a: 1\t2; x-b: ;"},
      {"framing", 201, nullptr, nullptr, "", "Content-Length: 9|connection: close", 201, ok, json},
      {"chunks", 201, nullptr, nullptr, "", "Transfer-Encoding: chunked", 201, ok, json},
      {"CORS", 201, nullptr, nullptr, "", "Access-Control-Allow-Origin: *", 201, ok, json},
      {"Content-Type", 201, nullptr, nullptr, "", "Content-Type: text/a", 201, ok, json},
      {"splitting", 201, nullptr, nullptr, "", "x-a: 1\r\nInjected: 1|x-b: \x7f|a b: 1|: 1", 201,
       ok, json},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ApiCallResult result;
    result.status = row.status;
    result.failed = row.message != nullptr;
    result.errorMessage = result.failed ? row.message : "";
    result.readError = row.readError;
    for (size_t at = 0; at < row.headers.size();) {
      const size_t end = std::min(row.headers.find('|', at), row.headers.size());
      const std::string header = row.headers.substr(at, end - at);
      result.headers.emplace_back(header.substr(0, header.find(": ")),
                                  header.substr(header.find(": ") + 2));
      at = end + 1;
    }
    if (row.stream != nullptr) result.body = row.stream;
    if (!result.failed) result.value = CliSupport::Json(ok);
    const HttpResponse response = ModuleAnswer(result);
    EXPECT_EQ(AnswerStatus(result), row.wantStatus);
    EXPECT_EQ(response.status, row.wantStatus);
    EXPECT_EQ(response.body, row.wantBody);
    EXPECT_EQ(response.chunked, row.stream != nullptr);
    std::string headers;
    for (const auto& [name, value] : response.headers)
      headers += (headers.empty() ? "" : " ") + name + ": " + value + ";";
    EXPECT_EQ(headers, row.wantHeaders);
  }
}

}  // namespace
