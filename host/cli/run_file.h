// The run file through which a local client finds a running tpk-host and its token:
// tpk-host-<pid>.json, a JSON object {"pid", "port", "token", "url"} with mode 0600, in a
// runtime directory that only its owner can enter (mode 0700, owned by this user; anything else
// is refused, never repaired). The file appears whole (written aside, then renamed) and is
// removed by Remove or the destructor. Not thread-safe; one RunFile per process.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "result/host_result.h"

namespace Oxle::Client::Host::Cli {

struct RunFileContent {
  int64_t pid = 0;
  uint16_t port = 0;
  std::string url;
  std::string token;
};

// $XDG_RUNTIME_DIR when it is set and not empty, else /tmp/tpk-host-<uid>.
[[nodiscard]] std::string DefaultRuntimeDir();

// 32 bytes from /dev/urandom as 64 lower-case hex digits.
[[nodiscard]] Result<std::string> NewToken();

// The text of the run file: compact JSON and a line end.
[[nodiscard]] std::string RunFileText(const RunFileContent& content);

// True when `a` and `b` are equal, in a time that depends only on their lengths.
[[nodiscard]] bool SameSecret(std::string_view a, std::string_view b) noexcept;

class RunFile {
 public:
  RunFile() = default;
  RunFile(RunFile&& other) noexcept;
  RunFile& operator=(RunFile&& other) noexcept;
  RunFile(const RunFile&) = delete;
  RunFile& operator=(const RunFile&) = delete;
  ~RunFile();

  // Opens `directory` (creating it with mode 0700 when it is missing; its parent must exist)
  // and checks it: a directory, not a symbolic link, owned by this user, no permission for group
  // or others. The path is checked with ".", ".." and trailing slashes resolved by name, so a
  // trailing slash cannot lead the check through a link. Nothing is written yet.
  [[nodiscard]] static Result<RunFile> OpenDirectory(const std::string& directory);
  // Writes tpk-host-<content.pid>.json (replacing a stale one of that name).
  Status Write(const RunFileContent& content);
  // Removes the file when it was written; later calls do nothing.
  void Remove() noexcept;

  // The file's path (empty before Write).
  [[nodiscard]] const std::string& Path() const noexcept { return path_; }

 private:
  void Close() noexcept;

  int directory_ = -1;  // descriptor of the checked directory
  std::string directoryPath_;
  std::string name_;  // the file's name in the directory, once written
  std::string path_;
};

}  // namespace Oxle::Client::Host::Cli
