// Service-proxy answers (by uuid, by method, async), waiting requests, the bound on unanswered
// responses, and telemetry posts.
#include <gtest/gtest.h>

#include <chrono>

#include "fake_host.h"
#include "plugin/telemetry_sink.h"

namespace Oxle::Client::Plugin::Testing {
namespace {

class ServiceProxyTest : public PluginTest {
 protected:
  void SetUp() override { Start(); }

  void SendUuid(const std::string& uuid, const std::string& payload = "p") {
    const std::string json = R"({"uuid":")" + uuid + R"(","payload":")" + payload + R"("})";
    ASSERT_TRUE(host.DeliverJson("OnServiceProxyUuidEvent", json.c_str()));
  }
  void SendMethod(const char* event, const char* service, const char* method) {
    const std::string json = std::string(R"({"serviceName":")") + service + R"(","methodName":")" +
                             method + R"(","status":"ok"})";
    ASSERT_TRUE(host.DeliverJson(event, json.c_str()));
  }
};

TEST_F(ServiceProxyTest, AMethodEventIsKeptUnderServiceDotMethod) {
  SendMethod("OnServiceProxyMethodEvent", "a", "b");
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 1u);
  std::vector<std::string> answered;
  plugin->AddServiceRequest("a.b", [&](const PluginServiceProxyResponse& response) {
    answered.push_back(response.serviceName + "/" + response.methodName + "/" + response.status);
  });
  EXPECT_EQ(answered, std::vector<std::string>{"a/b/ok"});
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 0u);
  EXPECT_EQ(host.Logs(), (std::vector<std::pair<int32_t, std::string>>{
                             {3, "qel-mhx: Fulfilled service proxy request: a.b"}}));
}

TEST_F(ServiceProxyTest, ResponsesWithoutWaitersAccumulateAndTheNewestOfAKeyWins) {
  SendUuid("u1", "first");
  SendUuid("u2");
  SendUuid("u3");
  SendUuid("u1", "second");
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 3u);
  std::string payload;
  plugin->AddServiceRequest("u1", [&](const auto& response) { payload = response.payload; });
  EXPECT_EQ(payload, "second");
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 2u);
}

TEST_F(ServiceProxyTest, AWaitingRequestIsAnsweredWhenItsResponseArrivesAndOnlyOnce) {
  int calls = 0;
  plugin->AddServiceRequest("u9", [&](const auto& response) {
    ++calls;
    EXPECT_EQ(response.uuid, "u9");
  });
  SendUuid("u8");
  EXPECT_EQ(calls, 0);
  SendUuid("u9");
  SendUuid("u9");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 2u);  // u8 and the second u9
}

TEST_F(ServiceProxyTest, AsyncEventsGoToTheirHandlerOrLogOneError) {
  SendMethod("OnServiceProxyAsyncEvent", "s", "m");
  EXPECT_EQ(
      host.Logs(),
      (std::vector<std::pair<int32_t, std::string>>{
          {2, "qel-mhx: Could not find registered handler for async service proxy event s.m"}}));
  int calls = 0;
  plugin->AddAsyncServiceHandler("s.m", [&](const auto& response) {
    ++calls;
    EXPECT_EQ(response.status, "ok");
  });
  SendMethod("OnServiceProxyAsyncEvent", "s", "m");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(host.Logs().size(), 1u);
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 0u);
}

TEST_F(ServiceProxyTest, UnansweredResponsesAreBoundedDroppingTheOldestWithOneWarning) {
  for (size_t i = 0; i <= kMaxReceivedServiceResponses + 5; ++i)
    SendUuid("u" + std::to_string(i));
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), kMaxReceivedServiceResponses);
  EXPECT_EQ(host.Logs(), (std::vector<std::pair<int32_t, std::string>>{
                             {1,
                              "qel-mhx: More than 1024 service proxy responses wait for a "
                              "request; dropping the oldest"}}));
  std::vector<std::string> answered;
  for (const char* key : {"u5", "u6", "u1029"})
    plugin->AddServiceRequest(key,
                              [&](const auto& response) { answered.push_back(response.uuid); });
  EXPECT_EQ(answered, (std::vector<std::string>{"u6", "u1029"}));
}

TEST_F(ServiceProxyTest, AWaiterThrowingOnAHostThreadIsLoggedAndRemoved) {
  int calls = 0;
  plugin->AddServiceRequest("u1", [&](const auto&) {
    ++calls;
    throw std::runtime_error("nope");
  });
  SendUuid("u1");
  SendUuid("u1");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 1u);
  EXPECT_EQ(host.Logs(),
            (std::vector<std::pair<int32_t, std::string>>{
                {2, "qel-mhx: Handler of event OnServiceProxyUuidEvent failed: nope"}}));
}

TEST_F(ServiceProxyTest, TelemetryPostsToTheEventsRouteAndReturnsAReadyFuture) {
  host.answerRequest = [](ApiResponseRecord& record, const ApiRequestRecord& request) {
    if (std::string_view(request.target) == "/telemetry/v1/events/broken") {
      AnswerError(record, "refused", 503);
    } else {
      AnswerValue(record, "null", 204);
    }
  };
  gFreedResponses = 0;
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
  EXPECT_EQ(gFreedResponses, 2);
  const std::vector<ApiCall> requests = host.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, 6u);
  EXPECT_EQ(requests[0].target, "/telemetry/v1/events/started");
  EXPECT_EQ(requests[0].arguments,
            (std::vector<std::pair<std::string, std::string>>{{"seconds", "12"}}));
}

}  // namespace
}  // namespace Oxle::Client::Plugin::Testing
