// Service-proxy answers (by uuid, by method, async), waiting requests, the bound on unanswered
// responses, and telemetry posts.
#include <gtest/gtest.h>

#include <chrono>

#include "plugin/telemetry_sink.h"
#include "plugin_host.h"

namespace Oxle::Client::Plugin::Testing {
namespace {

class ServiceProxyTest : public PluginTest {
 protected:
  void SetUp() override { ASSERT_TRUE(Start()); }

  void SendUuid(const std::string& uuid, const std::string& payload = "p") {
    ASSERT_TRUE(tap.Deliver("OnServiceProxyUuidEvent",
                            R"({"uuid":")" + uuid + R"(","payload":")" + payload + R"("})"));
  }
  void SendMethod(const char* event, const std::string& service, const std::string& method) {
    ASSERT_TRUE(tap.Deliver(event, R"({"serviceName":")" + service + R"(","methodName":")" +
                                       method + R"(","status":"ok"})"));
  }
  // Waits for `key`; the answers it gets as "<uuid>/<service>.<method>/<payload>/<status>".
  void Await(const char* key, Lines& answers) {
    plugin->AddServiceRequest(key, [&answers](const PluginServiceProxyResponse& response) {
      answers.push_back(response.uuid + "/" + response.serviceName + "." + response.methodName +
                        "/" + response.payload + "/" + response.status);
    });
  }
};

TEST_F(ServiceProxyTest, ResponsesWaitUnderUuidOrServiceDotMethodAndTheNewestOfAKeyWins) {
  SendMethod("OnServiceProxyMethodEvent", "a", "b");
  SendUuid("u1", "first");
  SendUuid("u2");
  SendUuid("u1", "second");
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 3u);
  Lines answers;
  Await("a.b", answers);
  Await("u1", answers);
  EXPECT_EQ(answers, (Lines{"/a.b//ok", "u1/./second/"}));
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 1u);
  EXPECT_EQ(LogLines(), (Lines{"3 qel-mhx: Fulfilled service proxy request: a.b",
                               "3 qel-mhx: Fulfilled service proxy request: u1"}));
}

TEST_F(ServiceProxyTest, AWaitingRequestIsAnsweredOnceAndAThrowingOneIsLoggedAndRemoved) {
  Lines answers;
  Await("u9", answers);
  int thrown = 0;
  plugin->AddServiceRequest("u1", [&](const auto&) {
    ++thrown;
    throw std::runtime_error("nope");
  });
  SendUuid("u8");
  EXPECT_TRUE(answers.empty());
  for (const char* uuid : {"u9", "u9", "u1", "u1"})
    SendUuid(uuid);
  EXPECT_EQ(answers, Lines{"u9/./p/"});
  EXPECT_EQ(thrown, 1);
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 3u);  // u8 and the second u9 and u1
  EXPECT_EQ(LogLines(),
            (Lines{"3 qel-mhx: Fulfilled service proxy request: u9",
                   "2 qel-mhx: Handler of event OnServiceProxyUuidEvent failed: nope"}));
}

TEST_F(ServiceProxyTest, AsyncEventsGoToTheirHandlerOrLogOneError) {
  SendMethod("OnServiceProxyAsyncEvent", "s", "m");
  EXPECT_EQ(
      LogLines(),
      Lines{"2 qel-mhx: Could not find registered handler for async service proxy event s.m"});
  int calls = 0;
  plugin->AddAsyncServiceHandler("s.m", [&](const auto& response) {
    ++calls;
    EXPECT_EQ(response.status, "ok");
  });
  SendMethod("OnServiceProxyAsyncEvent", "s", "m");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(LogLines().size(), 1u);
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 0u);
}

TEST_F(ServiceProxyTest, UnansweredResponsesAreBoundedDroppingTheOldestWithOneWarning) {
  for (size_t i = 0; i <= kMaxReceivedServiceResponses + 5; ++i)
    SendUuid("u" + std::to_string(i));
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), kMaxReceivedServiceResponses);
  EXPECT_EQ(LogLines(), Lines{"1 qel-mhx: More than 1024 service proxy responses wait for a "
                              "request; dropping the oldest"});
  Lines answered;
  for (const char* key : {"u5", "u6", "u1029"})
    plugin->AddServiceRequest(key,
                              [&](const auto& response) { answered.push_back(response.uuid); });
  EXPECT_EQ(answered, (Lines{"u6", "u1029"}));
}

TEST_F(ServiceProxyTest, TelemetryPostsToTheEventsRouteAndReturnsAReadyFuture) {
  Lines arguments;
  tap.answerRequest = [&](ApiResponseRecord& record, const ApiRequestRecord& request) {
    for (uint32_t i = 0; i < request.nativeArgumentCount; ++i)
      arguments.push_back(request.nativeArguments[i].name);
    const bool broken = std::string_view(request.target) == "/telemetry/v1/events/broken";
    record.error = broken ? 1 : 0;
    record.errorMessage = broken ? strdup("refused") : nullptr;
    record.status = broken ? 503 : 204;
    record.free = [](ApiResponseRecord* r) { std::free(r->errorMessage); };
  };
  ApiParameters parameters;
  parameters["seconds"].SetUnsigned(12);
  std::future<RequestResult<>> sent = plugin->Telemetry()->Post("started", parameters);
  ASSERT_EQ(sent.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_TRUE(sent.get().Ok());
  RequestResult<> refused = plugin->Telemetry()->Post("broken", {}).get();
  ASSERT_FALSE(refused.Ok());
  EXPECT_EQ(refused.Error().status, 503u);
  EXPECT_EQ(refused.Error().message,
            "Error response for POST /telemetry/v1/events/broken: refused");
  EXPECT_EQ(arguments, Lines{"seconds"});
  EXPECT_EQ(tap.Calls().at(3), "SendRequest 6 /telemetry/v1/events/started by 1");
}

}  // namespace
}  // namespace Oxle::Client::Plugin::Testing
