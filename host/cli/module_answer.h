// The answers of the host server (internal to tpk_cli): the JSON error every refusal and failure
// takes, a value as a JSON answer, and the answer to a module's response, whose rules are plain
// functions so that they read (and are tested) without a socket:
//   - AnswerStatus: the response's own status when it lies in 200-599; otherwise (0 is "not set")
//     200 for a success and 500 for an error; an error never goes out below 400 (it becomes 500);
//     a response that could not be read from the module is 502;
//   - PassedOn: which of the module's headers go out as given; never those that frame the message
//     (Content-Length, Transfer-Encoding, Connection), Content-Type (it types a body stream),
//     Access-Control-* (CORS belongs to the server) or any whose name or value could split the
//     header block;
//   - ModuleAnswer: the status, the body (an error as JSON, a body stream chunked under the
//     module's Content-Type, else the value as JSON; 204 and 304 carry none) and the headers.
// Pure functions of their arguments; callable from any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/value/binding_property.h"
#include "cli/http_server.h"
#include "core/host.h"

namespace Oxle::Client::Host::Cli {

// {"message", "status"} as application/json, with that status.
[[nodiscard]] HttpResponse ErrorAnswer(uint32_t status, std::string_view message);

// A value as application/json; an empty value as an empty body without a type.
[[nodiscard]] HttpResponse JsonAnswer(uint32_t status, const Binding::BindingProperty& value);

// The HTTP status of a module's answer.
[[nodiscard]] uint32_t AnswerStatus(const ApiCallResult& result) noexcept;

// True for a header of a module's response that goes out as the module gave it.
[[nodiscard]] bool PassedOn(std::string_view name, std::string_view value);

// True for a header of the request the module does not get: the token's.
[[nodiscard]] bool HiddenFromModule(std::string_view name);

// The answer to a module's response.
[[nodiscard]] HttpResponse ModuleAnswer(ApiCallResult result);

}  // namespace Oxle::Client::Host::Cli
