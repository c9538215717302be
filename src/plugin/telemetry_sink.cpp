#include "plugin/telemetry_sink.h"

#include <string>

namespace Oxle::Client::Plugin {

std::future<RequestResult<>> TelemetrySink::Post(std::string_view name,
                                                 const ApiParameters& parameters) {
  std::promise<RequestResult<>> promise;
  std::future<RequestResult<>> outcome = promise.get_future();
  std::string target = "/telemetry/v1/events/";
  target.append(name);
  ApiCallResponse response;
  RequestResult<> result = core_.CallApi(response, Api::HttpMethod::Post, target, parameters);
  response.Release();
  promise.set_value(std::move(result));
  return outcome;
}

}  // namespace Oxle::Client::Plugin
