#include "tpk-convert/convert.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>

#include "binding/value/value_result.h"
#include "codec/json.h"
#include "codec/msgpack.h"
#include "codec/yaml.h"

namespace Oxle::Client::Tools {
namespace {

using Binding::ValueResult;

constexpr const char* kProgram = "tpk-convert";

struct Options {
  InputFormat format = InputFormat::Sniff;
  bool indent = false;
  bool crlf = false;
  bool help = false;
  std::string file = "-";  // "-": standard input
};

// A usage failure: the message for `err`, printed above the usage text.
struct UsageError {
  std::string message;
};

[[nodiscard]] std::optional<InputFormat> FormatNamed(std::string_view name) {
  if (name == "json") return InputFormat::Json;
  if (name == "msgpack") return InputFormat::MessagePack;
  if (name == "yaml") return InputFormat::Yaml;
  return std::nullopt;
}

// Fills `options` from `args`; returns the usage failure, if any.
[[nodiscard]] std::optional<UsageError> ParseArguments(const std::vector<std::string>& args,
                                                       Options& options) {
  bool haveFile = false;
  bool operandsOnly = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool isOption = !operandsOnly && arg.size() > 1 && arg[0] == '-';
    if (!isOption) {
      if (haveFile) return UsageError{"only one input file may be given"};
      options.file = arg;
      haveFile = true;
    } else if (arg == "--") {
      operandsOnly = true;
    } else if (arg == "--indent") {
      options.indent = true;
    } else if (arg == "--crlf") {
      options.crlf = true;
    } else if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--from" || arg.starts_with("--from=")) {
      std::string name;
      if (arg == "--from") {
        if (i + 1 == args.size()) return UsageError{"--from needs a format"};
        name = args[++i];
      } else {
        name = arg.substr(7);
      }
      const std::optional<InputFormat> format = FormatNamed(name);
      if (!format) return UsageError{"unknown format '" + name + "' (json, msgpack or yaml)"};
      options.format = *format;
    } else {
      return UsageError{"unknown option '" + arg + "'"};
    }
  }
  return std::nullopt;
}

// Reads all of `path` into `data`; on failure returns the reason.
[[nodiscard]] std::optional<std::string> ReadFile(const std::string& path, std::string& data) {
  errno = 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
  if (!file) return std::strerror(errno != 0 ? errno : EIO);
  char buffer[65536];
  for (;;) {
    const size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
    data.append(buffer, n);
    if (n < sizeof buffer) break;
  }
  // A directory opens but fails to read (EISDIR).
  if (std::ferror(file.get())) return std::strerror(errno != 0 ? errno : EIO);
  return std::nullopt;
}

[[nodiscard]] bool ReadStream(std::istream& in, std::string& data) {
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    data.append(buffer, static_cast<size_t>(in.gcount()));
  }
  return !in.bad();
}

[[nodiscard]] ValueResult Decode(InputFormat format, const std::string& data) {
  ValueResult result;
  switch (format) {
    case InputFormat::MessagePack: {
      size_t consumed = 0;
      Codec::ReadMessagePack(result, consumed, reinterpret_cast<const uint8_t*>(data.data()),
                             data.size());
      if (result.Ok() && consumed != data.size()) result.SetError(kExtraMessagePackMessage);
      return result;
    }
    case InputFormat::Yaml:
      Codec::ParseYaml(result, data.data(), data.size());
      return result;
    case InputFormat::Sniff:
    case InputFormat::Json:
      break;
  }
  // JSON text ends at its first NUL, as it does for every JSON the framework reads.
  return Codec::ParseJson(data);
}

[[nodiscard]] int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                      std::ostream& err) {
  Options options;
  if (const std::optional<UsageError> usage = ParseArguments(args, options)) {
    err << kProgram << ": " << usage->message << "\n" << UsageText();
    return kExitUsage;
  }
  if (options.help) {
    out << UsageText();
    out.flush();
    return out ? kExitOk : kExitFailed;
  }

  std::string data;
  if (options.file == "-") {
    if (!ReadStream(in, data)) {
      err << kProgram << ": cannot read standard input\n";
      return kExitFailed;
    }
  } else if (const std::optional<std::string> reason = ReadFile(options.file, data)) {
    err << kProgram << ": cannot read '" << options.file << "': " << *reason << "\n";
    return kExitFailed;
  }

  const InputFormat format =
      options.format == InputFormat::Sniff ? SniffFormat(data) : options.format;
  const ValueResult result = Decode(format, data);
  if (!result.Ok()) {
    // The decoder's message alone, exactly as the API layer would report it.
    err << result.ErrorMessage() << "\n";
    return kExitFailed;
  }

  // --crlf implies --indent, and the last line ends like the others.
  const char* lineEnd = options.crlf ? "\r\n" : "\n";
  const bool indent = options.indent || options.crlf;
  out << Codec::WriteJson(result.Value(), nullptr, indent ? lineEnd : nullptr) << lineEnd;
  out.flush();
  if (!out) {
    err << kProgram << ": cannot write the output\n";
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

InputFormat SniffFormat(std::string_view data) noexcept {
  if (Codec::LooksLikeMessagePack(reinterpret_cast<const uint8_t*>(data.data()), data.size())) {
    return InputFormat::MessagePack;
  }
  const size_t start = data.find_first_not_of(" \n\r\t");
  if (start == std::string_view::npos) return InputFormat::Json;
  const std::string_view text = data.substr(start);
  if (text[0] == '{' || text[0] == '[') return InputFormat::Json;
  if (text.starts_with("---")) return InputFormat::Yaml;
  return InputFormat::Json;
}

std::string UsageText() {
  return "usage: tpk-convert [--from json|msgpack|yaml] [--indent] [--crlf] [FILE]\n"
         "Reads FILE (standard input when absent or \"-\") and writes it as JSON.\n"
         "  --from FORMAT  decode as FORMAT; by default MessagePack when the first byte\n"
         "                 opens a map or an array, YAML when the text starts with \"---\",\n"
         "                 otherwise JSON\n"
         "  --indent       indent by 4 spaces, one value per line\n"
         "  --crlf         end lines with CR LF (implies --indent)\n"
         "  -h, --help     print this text\n"
         "Exit status: 0 converted, 1 unreadable input or decode failure, 2 bad usage.\n";
}

int RunConvert(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
               std::ostream& err) noexcept {
  try {
    return Run(args, in, out, err);
  } catch (const std::exception& e) {
    try {
      err << kProgram << ": " << e.what() << "\n";
    } catch (...) {
    }
  } catch (...) {
    try {
      err << kProgram << ": unexpected failure\n";
    } catch (...) {
    }
  }
  return kExitFailed;
}

}  // namespace Oxle::Client::Tools
