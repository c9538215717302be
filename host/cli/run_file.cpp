#include "cli/run_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "binding/value/binding_property.h"
#include "codec/json.h"

namespace Oxle::Client::Host::Cli {

namespace {

[[nodiscard]] std::string ErrorText(int error) {
  return std::strerror(error);
}

[[nodiscard]] std::string OctalMode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

[[nodiscard]] bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// The directory as the checks see it: ".", ".." and repeated or trailing slashes resolved by
// name, so that "link/" or "link/." is the link itself and not the directory it points to.
std::string Normalised(const std::string& directory) {
  std::string path = std::filesystem::path(directory).lexically_normal().string();
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  return path.empty() ? std::string(".") : path;
}

}  // namespace

std::string DefaultRuntimeDir() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] != '\0') return runtime;
  return "/tmp/tpk-host-" + std::to_string(::geteuid());
}

Result<std::string> NewToken() {
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Status::Error("Can't open /dev/urandom: " + ErrorText(errno));
  unsigned char bytes[32];
  size_t have = 0;
  while (have < sizeof bytes) {
    const ssize_t got = ::read(fd, bytes + have, sizeof bytes - have);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      const int error = got < 0 ? errno : EIO;
      ::close(fd);
      return Status::Error("Can't read /dev/urandom: " + ErrorText(error));
    }
    have += static_cast<size_t>(got);
  }
  ::close(fd);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char byte : bytes) {
    token.push_back(kHex[byte >> 4]);
    token.push_back(kHex[byte & 15]);
  }
  return token;
}

std::string RunFileText(const RunFileContent& content) {
  Binding::BindingProperty value;
  value.Get("pid").SetSigned(content.pid);
  value.Get("port").SetUnsigned(content.port);
  value.Get("url").SetString(content.url);
  value.Get("token").SetString(content.token);
  return Codec::WriteJson(value, nullptr, nullptr) + "\n";
}

bool SameSecret(std::string_view a, std::string_view b) noexcept {
  // Every byte of `a` is looked at whatever `b` holds, so the time tells nothing of the match.
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) {
    const unsigned char other = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    difference |= static_cast<unsigned char>(static_cast<unsigned char>(a[i]) ^ other);
  }
  return difference == 0;
}

RunFile::RunFile(RunFile&& other) noexcept
    : directory_(std::exchange(other.directory_, -1)),
      directoryPath_(std::move(other.directoryPath_)),
      name_(std::move(other.name_)),
      path_(std::move(other.path_)) {
  other.name_.clear();
  other.path_.clear();
}

RunFile& RunFile::operator=(RunFile&& other) noexcept {
  if (this != &other) {
    Remove();
    Close();
    directory_ = std::exchange(other.directory_, -1);
    directoryPath_ = std::move(other.directoryPath_);
    name_ = std::move(other.name_);
    path_ = std::move(other.path_);
    other.name_.clear();
    other.path_.clear();
  }
  return *this;
}

RunFile::~RunFile() {
  Remove();
  Close();
}

void RunFile::Close() noexcept {
  if (directory_ >= 0) ::close(directory_);
  directory_ = -1;
}

Result<RunFile> RunFile::OpenDirectory(const std::string& given) {
  const std::string quoted = "The runtime directory '" + given + "'";
  const std::string directory = Normalised(given);
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
    return Status::Error(quoted + " can't be created: " + ErrorText(errno));
  }
  struct stat link {};
  if (::lstat(directory.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    return Status::Error(quoted + " is a symbolic link; name the directory itself");
  }
  // O_NOFOLLOW: a symbolic link planted where the directory should be is refused, not followed.
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Status::Error(quoted + " can't be opened: " + ErrorText(errno));
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    return Status::Error(quoted + " can't be examined: " + ErrorText(error));
  }
  if (info.st_uid != ::geteuid()) {
    ::close(fd);
    return Status::Error(quoted + " belongs to user " + std::to_string(info.st_uid) +
                         ", not to this user (" + std::to_string(::geteuid()) + ")");
  }
  if ((info.st_mode & 077) != 0) {
    ::close(fd);
    return Status::Error(quoted + " has mode " + OctalMode(info.st_mode) +
                         "; it must give nobody but its owner access (0700)");
  }
  RunFile file;
  file.directory_ = fd;
  file.directoryPath_ = directory;
  return file;
}

Status RunFile::Write(const RunFileContent& content) {
  if (directory_ < 0) return Status::Error("The run file has no directory");
  Remove();
  const std::string name = "tpk-host-" + std::to_string(content.pid) + ".json";
  const std::string aside = name + ".tmp";
  const std::string path = directoryPath_ + "/" + name;
  // A file of the same name is left from an earlier process of this pid, which has gone.
  (void)::unlinkat(directory_, aside.c_str(), 0);
  const int fd = ::openat(directory_, aside.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return Status::Error("Can't create the run file " + path + ": " + ErrorText(errno));
  const bool written = ::fchmod(fd, 0600) == 0 && WriteAll(fd, RunFileText(content));
  const int writeError = errno;
  if (::close(fd) != 0 || !written) {
    (void)::unlinkat(directory_, aside.c_str(), 0);
    return Status::Error("Can't write the run file " + path + ": " + ErrorText(writeError));
  }
  if (::renameat(directory_, aside.c_str(), directory_, name.c_str()) != 0) {
    const int error = errno;
    (void)::unlinkat(directory_, aside.c_str(), 0);
    return Status::Error("Can't put the run file in place at " + path + ": " + ErrorText(error));
  }
  name_ = name;
  path_ = path;
  return Status();
}

void RunFile::Remove() noexcept {
  if (name_.empty() || directory_ < 0) return;
  (void)::unlinkat(directory_, name_.c_str(), 0);
  name_.clear();
  path_.clear();
}

}  // namespace Oxle::Client::Host::Cli
