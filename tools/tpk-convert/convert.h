// RunConvert: the whole of tpk-convert behind a testable interface. It reads one document
// (a file or `in`), decodes it as JSON, MessagePack or YAML, chosen by option or by content,
// and writes it to `out` as JSON followed by one line end. Nothing is written to `out` unless the
// conversion succeeds; every message goes to `err`. It never throws. Not a library API: the
// decoders in codec/ are what code should call.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace Oxle::Client::Tools {

// Exit codes of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // unreadable input, decode failure, unwritable output
inline constexpr int kExitUsage = 2;

// What the decoders reject when a MessagePack object is followed by more bytes; worded as the
// request dispatcher words it, so users see one text for one fault.
inline constexpr std::string_view kExtraMessagePackMessage = "Extra MessgePack data found in body";

enum class InputFormat { Sniff, Json, MessagePack, Yaml };

// The format a request dispatcher would pick for a body without a content type: MessagePack when
// the first byte opens a map or an array, JSON when the first non-whitespace character is '{' or
// '[', YAML when the text starts with "---" after whitespace, otherwise JSON.
[[nodiscard]] InputFormat SniffFormat(std::string_view data) noexcept;

// Runs the tool. `args` excludes the program name. Returns one of the exit codes above.
[[nodiscard]] int RunConvert(const std::vector<std::string>& args, std::istream& in,
                             std::ostream& out, std::ostream& err) noexcept;

// The usage text, one option per line, ending in a line end.
[[nodiscard]] std::string UsageText();

}  // namespace Oxle::Client::Tools
