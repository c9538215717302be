// Service-proxy answers (by uuid, by method, async), waiting requests, the bound on unanswered
// responses, and telemetry posts.
#include <gtest/gtest.h>

#include <chrono>

#include "fake_host.h"
#include "plugin/telemetry_sink.h"

namespace Oxle::Client::Plugin::Testing {
namespace {

using Logs = std::vector<std::pair<int32_t, std::string>>;

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
  // Waits for `key`; the answers it gets as "<uuid>/<service>.<method>/<payload>/<status>".
  void Await(const char* key, std::vector<std::string>& answers) {
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
  std::vector<std::string> answers;
  Await("a.b", answers);
  Await("u1", answers);
  EXPECT_EQ(answers, (std::vector<std::string>{"/a.b//ok", "u1/./second/"}));
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 1u);
  EXPECT_EQ(host.Logs(), (Logs{{3, "qel-mhx: Fulfilled service proxy request: a.b"},
                               {3, "qel-mhx: Fulfilled service proxy request: u1"}}));
}

TEST_F(ServiceProxyTest, AWaitingRequestIsAnsweredOnceAndAThrowingOneIsLoggedAndRemoved) {
  std::vector<std::string> answers;
  Await("u9", answers);
  int thrown = 0;
  plugin->AddServiceRequest("u1", [&](const auto&) {
    ++thrown;
    throw std::runtime_error("nope");
  });
  SendUuid("u8");
  EXPECT_TRUE(answers.empty());
  SendUuid("u9");
  SendUuid("u9");
  SendUuid("u1");
  SendUuid("u1");
  EXPECT_EQ(answers, std::vector<std::string>{"u9/./p/"});
  EXPECT_EQ(thrown, 1);
  EXPECT_EQ(plugin->ReceivedServiceResponseCount(), 3u);  // u8 and the second u9 and u1
  EXPECT_EQ(host.Logs(),
            (Logs{{3, "qel-mhx: Fulfilled service proxy request: u9"},
                  {2, "qel-mhx: Handler of event OnServiceProxyUuidEvent failed: nope"}}));
}

TEST_F(ServiceProxyTest, AsyncEventsGoToTheirHandlerOrLogOneError) {
  SendMethod("OnServiceProxyAsyncEvent", "s", "m");
  EXPECT_EQ(host.Logs(),
            (Logs{{2,
                   "qel-mhx: Could not find registered handler for async service proxy "
                   "event s.m"}}));
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
  EXPECT_EQ(host.Logs(), (Logs{{1,
                                "qel-mhx: More than 1024 service proxy responses wait for a "
                                "request; dropping the oldest"}}));
  std::vector<std::string> answered;
  for (const char* key : {"u5", "u6", "u1029"})
    plugin->AddServiceRequest(key,
                              [&](const auto& response) { answered.push_back(response.uuid); });
  EXPECT_EQ(answered, (std::vector<std::string>{"u6", "u1029"}));
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
