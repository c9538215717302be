#include "plugin/external_request.h"

#include "binding/format/positional_format.h"
#include "codec/json.h"
#include "plugin/trace_hook.h"

namespace Oxle::Client::Plugin {

int32_t MapTransportResult(int32_t transportResult) noexcept {
  switch (transportResult) {
    case -1:
    case 0:
    case 2:
      return transportResult;
    default:
      return 1;
  }
}

ExternalResponse ConvertExternalResponse(const ExternalResponseRecord& record,
                                         std::string_view label, std::string_view shortName) {
  const std::string labelText(label);
  const std::string name(shortName);
  ExternalResponse answer;
  answer.connectionError = MapTransportResult(record.transportResult);
  const std::string bodyText =
      record.body != nullptr
          ? std::string(reinterpret_cast<const char*>(record.body), record.bodyLength)
          : std::string();
  if (answer.connectionError != 0) {
    answer.error = bodyText;
    Trace("%s: Couldn't connect to %s: %d - %s", name.c_str(), labelText.c_str(),
          record.transportResult, answer.error.c_str());
    return answer;
  }

  answer.status = record.status;
  if (record.headerCount != 0 && record.headers == nullptr) {
    answer.bodyMark = kBodyConversionFailed;
    answer.error =
        Binding::FormatToString("Error converting response for %1: headers was null", labelText);
    Trace("%s: Couldn't convert external request headers to %s: %s", name.c_str(),
          labelText.c_str(), answer.error.c_str());
  } else {
    for (uint32_t i = 0; i < record.headerCount; ++i) {
      const ApiHeader& pair = record.headers[i];
      answer.headers[pair.name != nullptr ? pair.name : ""] =
          pair.value != nullptr ? pair.value : "";
    }
  }

  if (bodyText.empty()) {
    answer.bodyMark = kBodyConversionFailed;
    answer.error =
        Binding::FormatToString("Error converting response for %1: body was empty", labelText);
  } else {
    Binding::ValueResult parsed = Codec::ParseJson(bodyText);
    if (parsed.Ok()) {
      answer.body = std::move(parsed.Value());
      answer.bodyMark = kBodyConverted;
    } else {
      answer.bodyMark = kBodyConversionFailed;
      answer.body.SetString(bodyText);
      answer.error =
          Binding::FormatToString("Error deserializing json response for %1: %2 given body %3",
                                  labelText, parsed.ErrorMessage(), bodyText);
    }
  }
  if (answer.bodyMark == kBodyConversionFailed) {
    Trace("%s: Couldn't convert external request body to %s: %s", name.c_str(), labelText.c_str(),
          answer.error.c_str());
  }
  return answer;
}

}  // namespace Oxle::Client::Plugin
