// Requests through the host: API calls and their errors, resources read as native values,
// streamed bodies, external requests and their answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "fake_host.h"
#include "log/allocation_hooks.h"

namespace Oxle::Client::Plugin::Testing {
namespace {

using Api::HttpMethod;

// The named parameters of an error as "name=value" texts, sorted.
std::vector<std::string> ParametersOf(const RequestError& error) {
  std::vector<std::string> texts;
  for (const auto& [name, value] : error.parameters)
    texts.push_back(name + "=" + value.ToString());
  std::sort(texts.begin(), texts.end());
  return texts;
}

// A body stream answering from a script, one step per read.
struct FakeStream {
  struct Step {
    std::string bytes;
    uint8_t more = 0;
    bool ok = true;
    uint32_t reportedLength = 0xFFFFFFFFu;  // the bytes' size unless set
  };
  std::vector<Step> steps;
  size_t next = 0;
  int released = 0;

  static uint8_t Read(void* object, void* buffer, uint32_t* length, uint8_t* moreData) {
    auto& stream = *static_cast<FakeStream*>(object);
    EXPECT_EQ(*length, 4096u);
    EXPECT_EQ(*moreData, 1u);
    if (stream.next >= stream.steps.size()) return 0;
    const Step& step = stream.steps[stream.next++];
    std::memcpy(buffer, step.bytes.data(), step.bytes.size());
    *length = step.reportedLength != 0xFFFFFFFFu ? step.reportedLength
                                                 : static_cast<uint32_t>(step.bytes.size());
    *moreData = step.more;
    return step.ok ? 1 : 0;
  }
  static void Release(void* object) { ++static_cast<FakeStream*>(object)->released; }

  void Attach(ApiResponseRecord& record) {
    record.readBody = &Read;
    record.releaseBody = &Release;
    record.bodyStream = this;
    record.bodySize = 123;
    record.free = &FreeFakeResponse;
  }
};

class RequestTest : public PluginTest {
 protected:
  void SetUp() override {
    gFreedResponses = 0;
    Start();
  }
  void Answer(std::function<void(ApiResponseRecord&)> answer) {
    host.answerRequest = [answer](ApiResponseRecord& record, const ApiRequestRecord&) {
      answer(record);
    };
  }
};

TEST_F(RequestTest, ApiCallFailuresCarryTheCalleesStatusAndNamedParameters) {
  struct Case {
    const char* name;
    std::function<void(ApiResponseRecord&)> answer;
    bool ok;
    uint32_t status;
    const char* error;
  };
  const Case cases[] = {
      {"error message", [](auto& r) { AnswerError(r, "boom", 503); }, false, 503, "boom"},
      {"flag without message", [](auto& r) { AnswerError(r, nullptr, 500); }, false, 500,
       "the response is marked failed but has no message"},
      {"message with status 200", [](auto& r) { AnswerError(r, "odd", 200); }, false, 200, "odd"},
      {"null message, status 404", [](auto& r) { AnswerValue(r, "1", 404); }, true, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Answer(c.answer);
    gFreedResponses = 0;
    {
      ApiCallResponse response;
      RequestResult<> result = plugin->CallApi(response, HttpMethod::Get, "/x/y");
      ASSERT_EQ(result.Ok(), c.ok);
      if (!c.ok) {
        EXPECT_EQ(result.Error().status, c.status);
        EXPECT_EQ(result.Error().message, std::string("Error response for GET /x/y: ") + c.error);
        EXPECT_EQ(
            ParametersOf(result.Error()),
            (std::vector<std::string>{std::string("error=") + c.error, "method=GET", "url=/x/y"}));
      }
      EXPECT_EQ(gFreedResponses, 0);  // the caller still reads the record
    }
    EXPECT_EQ(gFreedResponses, 1);
  }
}

TEST_F(RequestTest, NamedParametersTravelAsNativeArgumentsOrTheRequestIsNotSent) {
  Answer([](ApiResponseRecord& record) { AnswerValue(record, "null"); });
  ApiParameters parameters;
  parameters["count"].SetUnsigned(3);
  parameters["tags"].Append().SetString("a");
  ApiCallResponse response;
  EXPECT_TRUE(plugin->CallApi(response, HttpMethod::Put, "/p", parameters).Ok());
  const std::vector<ApiCall> requests = host.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, 7u);
  std::vector<std::pair<std::string, std::string>> arguments = requests[0].arguments;
  std::sort(arguments.begin(), arguments.end());
  EXPECT_EQ(arguments, (std::vector<std::pair<std::string, std::string>>{{"count", "3"},
                                                                         {"tags", R"(["a"])"}}));

  parameters["name"].SetString("text needs memory");
  const Log::AllocationHooks previous = Log::GetAllocationHooks();
  Log::AllocationHooks failing = previous;
  failing.allocate = [](size_t, void*) -> void* { return nullptr; };
  failing.duplicate = [](const char*, void*) -> char* { return nullptr; };
  Log::SetAllocationHooks(failing);
  ApiCallResponse refused;
  RequestResult<> result = plugin->CallApi(refused, HttpMethod::Post, "/t", parameters);
  Log::SetAllocationHooks(previous);
  ASSERT_FALSE(result.Ok());
  EXPECT_EQ(result.Error().status, 400u);
  const std::string memory = "Couldn't convert value to a host value because memory ran out.";
  EXPECT_EQ(result.Error().message,
            "Request not sent: Error converting parameters for POST /t: " + memory);
  EXPECT_EQ(ParametersOf(result.Error()),
            (std::vector<std::string>{"error=" + memory, "method=POST", "url=/t"}));
  EXPECT_EQ(host.Requests().size(), 1u);
}

TEST_F(RequestTest, GetResourceConvertsTheResultValue) {
  Answer(
      [](ApiResponseRecord& record) { AnswerValue(record, R"({"state":"PluginsInitialized"})"); });
  RequestResult<PluginManagerResource> native =
      plugin->GetResource<PluginManagerResource>(HttpMethod::Get, "/r");
  ASSERT_TRUE(native.Ok());
  EXPECT_EQ(native.Value().state, PluginManagerState::PluginsInitialized);
  RequestResult<Binding::BindingProperty> value =
      plugin->GetResource<Binding::BindingProperty>(HttpMethod::Get, "/r");
  ASSERT_TRUE(value.Ok());
  EXPECT_EQ(Codec::WriteJson(value.Value(), nullptr, nullptr), R"({"state":"PluginsInitialized"})");
  EXPECT_EQ(gFreedResponses, 2);
}

TEST_F(RequestTest, GetResourceFailuresNameTheStep) {
  FakeStream failing{{{"{", 1, false}}};
  FakeStream overlong{{{"{}", 1, true, 5000}}};  // claims more bytes than its buffer holds
  struct Case {
    const char* name;
    std::function<void(ApiResponseRecord&)> answer;
    uint32_t status;
    const char* message;
  };
  const Case cases[] = {
      {"api error", [](auto& r) { AnswerError(r, "gone", 410); }, 410,
       "Error response for GET /r: gone"},
      {"value does not convert",
       [](auto& r) {
         r.value.kind = 42;
         r.free = &FreeFakeResponse;
       },
       0,
       "Error converting response for GET /r: Couldn't assign value to '<result>' of type "
       "object because the input is of an incompatible type ''."},
      {"native does not convert", [](auto& r) { AnswerValue(r, R"({"state":"Bogus"})"); }, 0,
       "Error converting response for GET /r: Bogus is not a valid PluginManagerState enumeration "
       "value for 'state'."},
      {"stream fails", [&](auto& r) { failing.Attach(r); }, 0,
       "Error reading streamed response for GET /r: Stream read error"},
      {"stream overlong", [&](auto& r) { overlong.Attach(r); }, 0,
       "Error reading streamed response for GET /r: Stream read error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Answer(c.answer);
    gFreedResponses = 0;
    RequestResult<PluginManagerResource> result =
        plugin->GetResource<PluginManagerResource>(HttpMethod::Get, "/r");
    ASSERT_FALSE(result.Ok());
    EXPECT_EQ(result.Error().status, c.status);
    EXPECT_EQ(result.Error().message, c.message);
    EXPECT_EQ(gFreedResponses, 1);
  }
  EXPECT_EQ(failing.released, 1);
  EXPECT_EQ(overlong.released, 1);
}

TEST_F(RequestTest, AStreamedBodyIsReadWithYieldsWhileDataIsMissing) {
  const std::string first = "[\"" + std::string(4096 - 2, 'a');
  FakeStream stream{{{first, 1}, {"\",", 1}, {"1]", 0}}};
  Answer([&](ApiResponseRecord& record) { stream.Attach(record); });
  RequestResult<Binding::BindingProperty> value =
      plugin->GetResource<Binding::BindingProperty>(HttpMethod::Get, "/stream");
  ASSERT_TRUE(value.Ok()) << value.Error().message;
  EXPECT_EQ(value.Value().At(0).GetString().size(), 4094u);
  EXPECT_EQ(value.Value().At(1).GetUnsigned(0), 1u);
  EXPECT_EQ(stream.released, 1);
  EXPECT_EQ(gFreedResponses, 1);
  std::vector<std::string> calls = host.Calls();
  calls.erase(calls.begin(), calls.begin() + 3);
  EXPECT_EQ(calls, (std::vector<std::string>{"SendRequest:/stream", "MarkWait:Wait: yield:0",
                                             "Yield", "EndWait"}));
}

TEST_F(RequestTest, TheUserAgentComesFirstUnlessTheRequestHasOneInAnyCase) {
  for (const char* own : {"", "User-Agent", "USER-AGENT", "user-agent"}) {
    ExternalRequest request;
    request.method = HttpMethod::Post;
    request.url = "https://h/x";
    request.headers["REGION"] = "EU";
    if (*own != '\0') request.headers[own] = "mine";
    request.body = "{}";
    request.timeout = 30;
    request.flags = 9;
    ExternalRequestRecord record{};
    std::vector<ApiHeader> pairs;
    plugin->FillExternalRequest(request, record, pairs);
    EXPECT_EQ(record.method, 6u);
    EXPECT_STREQ(record.url, "https://h/x");
    EXPECT_EQ(record.timeout, 30u);
    EXPECT_EQ(record.flags, 9u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.body), record.bodyLength), "{}");
    EXPECT_EQ(record.headers, pairs.data());
    std::vector<std::string> headers;
    for (uint32_t i = 0; i < record.headerCount; ++i)
      headers.push_back(std::string(pairs[i].name) + "=" + pairs[i].value);
    if (*own != '\0') std::sort(headers.begin(), headers.end());  // the map's order
    const std::vector<std::string> expected =
        *own == '\0'
            ? std::vector<std::string>{"user-agent=OxleClient/18.0.0 (qel-mhx)", "REGION=EU"}
            : std::vector<std::string>{"REGION=EU", std::string(own) + "=mine"};
    EXPECT_EQ(headers, expected) << own;
  }
}

int gReleased = 0;

TEST_F(RequestTest, ExternalAnswersGetTheirMarksAndMessages) {
  struct Case {
    const char* name;
    int32_t transport;
    uint32_t status;
    uint32_t headerCount;  // of the two headers below; 3 is a null array claiming two
    const char* body;
    // "<connection error> <status> <body mark> <header count>|<error>|<body as JSON>"
    const char* answer;
  };
  const std::string converting = "Error converting response for GET https://h/x: ";
  const Case cases[] = {
      {"transport 7", 7, 0, 0, "connection refused", "1 0 -1 0|connection refused|"},
      {"transport -1", -1, 0, 0, "cancelled", "-1 0 -1 0|cancelled|"},
      {"transport 2", 2, 0, 0, nullptr, "2 0 -1 0||"},
      {"empty body", 0, 200, 1, "", "0 200 1 1|{c}body was empty|"},
      {"no body", 0, 204, 0, nullptr, "0 204 1 0|{c}body was empty|"},
      {"json body", 0, 404, 2, R"({"x":[1]})", R"(0 404 0 2||{"x":[1]})"},
      {"no headers", 0, 200, 0, "[1]", "0 200 0 0||[1]"},
      {"headers null, body fine", 0, 200, 3, "[true]", "0 200 0 0|{c}headers was null|[true]"},
      {"not json", 0, 500, 0, "oops",
       "0 500 1 0|Error deserializing json response for GET https://h/x: Error: Invalid value. at "
       "offset 0. given body oops|\"oops\""},
  };
  static const ApiHeader kHeaders[] = {{"a", "1"}, {"b", "2"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gReleased = 0;
    host.answerExternal = [&](ExternalResponseRecord& record, const ExternalRequestRecord&) {
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
    const std::string body = answer.body.Kind() == Binding::ValueKind::Empty
                                 ? std::string()
                                 : Codec::WriteJson(answer.body, nullptr, nullptr);
    std::string expected = c.answer;
    if (const size_t at = expected.find("{c}"); at != std::string::npos)
      expected.replace(at, 3, converting);
    EXPECT_EQ(std::to_string(answer.connectionError) + " " + std::to_string(answer.status) + " " +
                  std::to_string(answer.bodyMark) + " " + std::to_string(answer.headers.size()) +
                  "|" + answer.error + "|" + body,
              expected);
    EXPECT_EQ(gReleased, 1);
  }
  const std::vector<ExternalCall> sent = host.Externals();
  ASSERT_EQ(sent.size(), std::size(cases));
  EXPECT_EQ(sent[0].method, 2u);
  EXPECT_EQ(sent[0].headers, (std::vector<std::pair<std::string, std::string>>{
                                 {"user-agent", "OxleClient/18.0.0 (qel-mhx)"}}));
}

}  // namespace
}  // namespace Oxle::Client::Plugin::Testing
