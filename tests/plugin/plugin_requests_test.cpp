// Requests through the host: API calls and their errors, resources read as native values,
// streamed bodies, external requests and their answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "plugin_host.h"

namespace Oxle::Client::Plugin::Testing {
namespace {

using Script = std::function<void(ApiResponseRecord&)>;

// A response record of the tap's: a value, an error flag with its message, a status; and how
// many of them the plugin released.
int gFreed = 0;
void Fill(ApiResponseRecord& record, uint32_t status, const char* json = "null",
          const char* error = nullptr, bool failed = false) {
  EXPECT_TRUE(Binding::ToHostValue(Json(json), nullptr, record.value));
  record.errorMessage = error != nullptr ? strdup(error) : nullptr;
  record.error = failed || error != nullptr ? 1 : 0;
  record.status = status;
  record.free = [](ApiResponseRecord* r) {
    ++gFreed;
    Binding::ReleaseHostValue(r->value);
    std::free(r->errorMessage);
  };
}

// A body stream read out one piece per call, each but the last followed by more; the piece
// "fail" fails its read and "long" claims more bytes than the buffer holds.
struct Stream {
  Lines pieces;
  size_t next = 0;
  int released = 0;

  void Attach(ApiResponseRecord& record) {
    Fill(record, 0);
    record.readBody = [](void* object, void* buffer, uint32_t* length, uint8_t* more) {
      auto& stream = *static_cast<Stream*>(object);
      EXPECT_TRUE(*length == 4096u && *more == 1u);
      const std::string& piece = stream.pieces.at(stream.next++);
      std::memcpy(buffer, piece.data(), piece.size());
      *length = piece == "long" ? 5000 : static_cast<uint32_t>(piece.size());
      *more = stream.next < stream.pieces.size() ? 1 : 0;
      return uint8_t{piece != "fail"};
    };
    record.releaseBody = [](void* object) { ++static_cast<Stream*>(object)->released; };
    record.bodyStream = this;
    record.bodySize = 123;
  }
};

class RequestTest : public PluginTest {
 protected:
  void SetUp() override { ASSERT_TRUE(Start()); }
  // Answers the plugin's next requests by `script`, or by the host core itself when null.
  void Answer(const Script& script) {
    gFreed = 0;
    tap.answerRequest = nullptr;
    if (script) tap.answerRequest = [script](auto& record, const auto&) { script(record); };
  }
};

// The named parameters of an error as "name=value" texts, sorted.
Lines ParametersOf(const RequestError& error) {
  Lines texts;
  for (const auto& [name, value] : error.parameters)
    texts.push_back(name + "=" + value.ToString());
  std::sort(texts.begin(), texts.end());
  return texts;
}

TEST_F(RequestTest, ApiCallsCarryTheirArgumentsAndFailuresTheCalleesStatusAndMessage) {
  // Rows: the target, the tap's answer (null: the host core answers), and what the caller gets:
  // the value as JSON, or "<status> <message> [<error parameters>]".
  const std::tuple<const char*, Script, std::string> cases[] = {
      {"/qel-mhx/v1/sum", {}, R"({"sum":42})"},
      {"/x", [](auto& r) { Fill(r, 500, "null", nullptr, true); },
       "500 Error response for POST /x: the response is marked failed but has no message"},
      {"/x", [](auto& r) { Fill(r, 200, "null", "odd"); }, "200 Error response for POST /x: odd"},
      {"/x", [](auto& r) { Fill(r, 404, "1"); }, "1"},
  };
  ApiParameters arguments;
  arguments["a"].SetSigned(2);
  arguments["b"].SetUnsigned(40);
  for (const auto& [target, script, expected] : cases) {
    Answer(script);
    {
      ApiCallResponse response;
      RequestResult<> result = plugin->CallApi(response, HttpMethod::Post, target, arguments);
      EXPECT_EQ(result.Ok() ? Json(response.record.value)
                            : std::to_string(result.Error().status) + " " + result.Error().message,
                expected);
      if (!result.Ok()) {
        EXPECT_EQ(ParametersOf(result.Error())[1] + ParametersOf(result.Error())[2],
                  std::string("method=POSTurl=") + target);
      }
      EXPECT_EQ(gFreed, 0);  // the caller still reads the record
    }
    EXPECT_EQ(gFreed, script ? 1 : 0);
  }
  ApiParameters parameters;
  parameters["name"].SetString("text needs memory");
  ApiCallResponse refused;
  RequestResult<> result;
  WithoutMemory([&] { result = plugin->CallApi(refused, HttpMethod::Post, "/t", parameters); });
  const std::string memory = "Couldn't convert value to a host value because memory ran out.";
  EXPECT_EQ(std::to_string(result.Error().status) + " " + result.Error().message,
            "400 Request not sent: Error converting parameters for POST /t: " + memory);
  EXPECT_EQ(ParametersOf(result.Error()), (Lines{"error=" + memory, "method=POST", "url=/t"}));
  EXPECT_EQ(tap.Calls().size(), 3u + 4u);  // Start's subscriptions and the requests above
}

TEST_F(RequestTest, GetResourceConvertsTheResultOrNamesTheStepThatFailed) {
  (void)host->SetResource("/r", Json(R"({"state":"PluginsInitialized"})"));
  (void)host->SetResource("/bogus", Json(R"({"state":"Bogus"})"));
  RequestResult<PluginManagerResource> native =
      plugin->GetResource<PluginManagerResource>(HttpMethod::Get, "/r");
  ASSERT_TRUE(native.Ok());
  EXPECT_EQ(native.Value().state, PluginManagerState::PluginsInitialized);
  RequestResult<BindingProperty> value =
      plugin->GetResource<BindingProperty>(HttpMethod::Get, "/r");
  ASSERT_TRUE(value.Ok());
  EXPECT_EQ(Json(value.Value()), R"({"state":"PluginsInitialized"})");

  Stream failing{{"fail", ""}}, overlong{{"long", ""}};
  const std::string reading = "Error reading streamed response for GET /r: Stream read error";
  const std::string converting = "Error converting response for GET ";
  const std::tuple<const char*, Script, uint32_t, std::string> cases[] = {
      {"/qel-mhx/v1/fail", {}, 409, "Error response for GET /qel-mhx/v1/fail: refused"},
      {"/r",
       [](auto& r) {
         r.value.kind = 42;
         r.free = [](ApiResponseRecord*) { ++gFreed; };
       },
       0,
       converting + "/r: Couldn't assign value to '<result>' of type object because the input is "
                    "of an incompatible type ''."},
      {"/bogus",
       {},
       0,
       converting + "/bogus: Bogus is not a valid PluginManagerState enumeration value for "
                    "'state'."},
      {"/r", [&](auto& r) { failing.Attach(r); }, 0, reading},
      {"/r", [&](auto& r) { overlong.Attach(r); }, 0, reading},
  };
  for (const auto& [target, script, status, message] : cases) {
    Answer(script);
    RequestResult<PluginManagerResource> result =
        plugin->GetResource<PluginManagerResource>(HttpMethod::Get, target);
    ASSERT_FALSE(result.Ok()) << message;
    EXPECT_EQ(result.Error().status, status);
    EXPECT_EQ(result.Error().message, message);
    EXPECT_EQ(gFreed, script ? 1 : 0);
  }
  EXPECT_EQ(failing.released + overlong.released, 2);
}

TEST_F(RequestTest, AStreamedBodyIsReadWithYieldsWhileDataIsMissing) {
  const std::string first = "[\"" + std::string(4096 - 2, 'a');
  Stream stream{{first, "\",", "1]"}};
  Answer([&](ApiResponseRecord& record) { stream.Attach(record); });
  RequestResult<BindingProperty> value =
      plugin->GetResource<BindingProperty>(HttpMethod::Get, "/stream");
  ASSERT_TRUE(value.Ok()) << value.Error().message;
  EXPECT_EQ(value.Value().At(0).GetString().size(), 4094u);
  EXPECT_EQ(value.Value().At(1).GetUnsigned(0), 1u);
  EXPECT_EQ(stream.released, 1);
  EXPECT_EQ(gFreed, 1);
  Lines calls = tap.Calls();
  calls.erase(calls.begin(), calls.begin() + 3);
  EXPECT_EQ(calls,
            (Lines{"SendRequest 2 /stream by 1", "MarkWait Wait: yield 0", "Yield", "EndWait"}));
  EXPECT_EQ(host->WaitingThreads(), 0u);
}

TEST_F(RequestTest, TheUserAgentComesFirstUnlessTheRequestHasOneInAnyCase) {
  for (const char* own : {"", "User-Agent", "USER-AGENT", "user-agent"}) {
    ExternalRequest request{HttpMethod::Post, "https://h/x", {{"REGION", "EU"}}, "{}", "", 30, 9};
    if (*own != '\0') request.headers[own] = "mine";
    ExternalRequestRecord record{};
    std::vector<ApiHeader> pairs;
    plugin->FillExternalRequest(request, record, pairs);
    EXPECT_EQ(std::to_string(record.method) + record.url + std::to_string(record.timeout) +
                  std::to_string(record.flags) +
                  std::string(reinterpret_cast<const char*>(record.body), record.bodyLength),
              "6https://h/x309{}");
    EXPECT_EQ(record.headers, pairs.data());
    Lines headers;
    for (uint32_t i = 0; i < record.headerCount; ++i)
      headers.push_back(std::string(pairs[i].name) + "=" + pairs[i].value);
    if (*own != '\0') std::sort(headers.begin(), headers.end());  // the map's order
    EXPECT_EQ(headers, (*own == '\0' ? Lines{"user-agent=OxleClient/18.0.0 (qel-mhx)", "REGION=EU"}
                                     : Lines{"REGION=EU", std::string(own) + "=mine"}));
  }
}

int gReleased = 0;

TEST_F(RequestTest, ExternalAnswersGetTheirMarksAndMessages) {
  // Rows: transport result, status, header count (of the two headers below; 3 is a null array
  // claiming two), body, and "<connection error> <status> <body mark> <header count>|<error>|
  // <body as JSON>".
  struct Case {
    int32_t transport;
    uint32_t status, headerCount;
    const char *body, *answer;
  };
  const Case cases[] = {
      {7, 0, 0, "connection refused", "1 0 -1 0|connection refused|"},
      {-1, 0, 0, "cancelled", "-1 0 -1 0|cancelled|"},
      {2, 0, 0, nullptr, "2 0 -1 0||"},
      {0, 200, 1, "", "0 200 1 1|{c}body was empty|"},
      {0, 204, 0, nullptr, "0 204 1 0|{c}body was empty|"},
      {0, 404, 2, R"({"x":[1]})", R"(0 404 0 2||{"x":[1]})"},
      {0, 200, 0, "[1]", "0 200 0 0||[1]"},
      {0, 200, 3, "[true]", "0 200 0 0|{c}headers was null|[true]"},
      {0, 500, 0, "oops",
       "0 500 1 0|Error deserializing json response for GET https://h/x: Error: Invalid value. at "
       "offset 0. given body oops|\"oops\""},
  };
  static const ApiHeader kHeaders[] = {{"a", "1"}, {"b", "2"}};
  Lines sent;
  for (const Case& c : cases) {
    gReleased = 0;
    tap.answerExternal = [&](ExternalResponseRecord& record, const ExternalRequestRecord& request) {
      sent.push_back(std::to_string(request.method) + " " + request.url + " " +
                     request.headers[0].name + "=" + request.headers[0].value);
      record.transportResult = c.transport;
      record.status = c.status;
      record.headers = c.headerCount % 3 == 0 ? nullptr : kHeaders;  // null when none
      record.headerCount = c.headerCount == 3 ? 2 : c.headerCount;
      record.body = reinterpret_cast<const uint8_t*>(c.body);
      record.bodyLength = c.body != nullptr ? static_cast<uint32_t>(std::strlen(c.body)) : 0;
      record.release = [](ExternalResponseRecord*) { ++gReleased; };
    };
    ExternalRequest request;
    request.url = "https://h/x";
    const ExternalResponse answer = plugin->SendExternal(request);
    EXPECT_EQ(answer.secondMark, -1);
    const std::string body =
        answer.body.Kind() == Binding::ValueKind::Empty ? std::string() : Json(answer.body);
    std::string expected = c.answer;
    if (const size_t at = expected.find("{c}"); at != std::string::npos)
      expected.replace(at, 3, "Error converting response for GET https://h/x: ");
    EXPECT_EQ(std::to_string(answer.connectionError) + " " + std::to_string(answer.status) + " " +
                  std::to_string(answer.bodyMark) + " " + std::to_string(answer.headers.size()) +
                  "|" + answer.error + "|" + body,
              expected);
    EXPECT_EQ(gReleased, 1);
  }
  EXPECT_EQ(sent.front(), "2 https://h/x user-agent=OxleClient/18.0.0 (qel-mhx)");
  // With no transport the host core itself answers a transport failure.
  tap.answerExternal = nullptr;
  const ExternalResponse none = plugin->SendExternal(ExternalRequest{});
  EXPECT_EQ(std::to_string(none.connectionError) + " " + none.error,
            "1 No transport is configured for external requests");
}

}  // namespace
}  // namespace Oxle::Client::Plugin::Testing
