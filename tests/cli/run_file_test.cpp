// The run file and its directory: exact content and modes, removal, the directories that are
// refused, and the token and its comparison.
#include "cli/run_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/cli_support.h"

namespace {

using namespace Oxle::Client::Host;
using namespace Oxle::Client::Host::Cli;
namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST(RunFile, IsWrittenWholeWithMode0600InANew0700DirectoryReplacingWhatIsThereAndRemoved) {
  const CliSupport::TempDir temp;
  const std::string dir = temp.Sub("run"), path = dir + "/tpk-host-4242.json";
  const std::string token = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
  const RunFileContent content{4242, 8123, "http://127.0.0.1:8123", token};
  const mode_t before = ::umask(0);  // the modes must not depend on the umask
  Result<RunFile> opened = RunFile::OpenDirectory(dir);
  ::umask(before);
  ASSERT_TRUE(opened.Ok()) << opened.ErrorMessage();
  RunFile& file = opened.Value();
  EXPECT_TRUE(ModeOf(dir) == 0700u && file.Path().empty());
  // A stale file of the pid and a link planted aside are replaced, not followed.
  std::ofstream(path) << "stale";
  std::ofstream(temp.Sub("victim")) << "keep me";
  fs::create_symlink(temp.Sub("victim"), path + ".tmp");
  ASSERT_TRUE(file.Write(content).Ok());
  EXPECT_EQ(file.Path(), path);
  EXPECT_EQ(ReadAll(path), R"({"pid":4242,"port":8123,"token":")" + token +
                               R"(","url":"http://127.0.0.1:8123"})"
                               "\n");
  EXPECT_TRUE(ReadAll(temp.Sub("victim")) == "keep me" && ModeOf(path) == 0600u &&
              !fs::exists(path + ".tmp"));
  file.Remove();
  EXPECT_TRUE(!fs::exists(path) && file.Path().empty());
  file.Remove();  // a second time does nothing
  EXPECT_TRUE(fs::is_directory(dir));
  {
    // The destructor removes it; a moved-from file owns nothing.
    ASSERT_TRUE(file.Write(content).Ok());
    RunFile moved = std::move(file);
    file.Remove();
    EXPECT_TRUE(moved.Path() == path && fs::exists(path));
  }
  EXPECT_FALSE(fs::exists(path));
}

TEST(RunFile, RefusesADirectoryOthersCanReachOrThatIsNotAPlainDirectoryOrNotTheUsers) {
  const CliSupport::TempDir temp;
  const std::string open = temp.Sub("open"), group = temp.Sub("group"), link = temp.Sub("link");
  const std::string file = temp.Sub("file"), orphan = temp.Sub("missing/run");
  const std::pair<std::string, mode_t> modes[] = {
      {open, 0755}, {group, 0710}, {temp.Sub("t"), 0700}};
  for (const auto& [dir, mode] : modes)
    ASSERT_TRUE(::mkdir(dir.c_str(), 0700) == 0 && ::chmod(dir.c_str(), mode) == 0);
  fs::create_directory_symlink(temp.Sub("t"), link);
  std::ofstream(file) << "x";
  std::vector<std::pair<std::string, std::string>> cases = {
      {open, "' has mode 0755; it must give nobody but its owner access (0700)"},
      {group, "' has mode 0710; it must give nobody but its owner access (0700)"},
      {link, "' is a symbolic link; name the directory itself"},
      {link + "/", "' is a symbolic link; name the directory itself"},
      {temp.Sub("t") + "/../link/.", "' is a symbolic link; name the directory itself"},
      {file, "' can't be opened: Not a directory"},
      {orphan, "' can't be created: No such file or directory"},
  };
  if (::geteuid() == 0) {  // only root can give a directory away
    ASSERT_EQ(::chown(temp.Sub("t").c_str(), 4321, 4321), 0);
    cases.emplace_back(temp.Sub("t"), "' belongs to user 4321, not to this user (0)");
  }
  for (const auto& [dir, message] : cases) {
    const Result<RunFile> opened = RunFile::OpenDirectory(dir);
    ASSERT_FALSE(opened.Ok()) << dir;
    EXPECT_EQ(opened.ErrorMessage(), "The runtime directory '" + dir + message);
  }
  EXPECT_EQ(ModeOf(open), 0755u);  // refused, never repaired
}

TEST(RunFile, TheDefaultDirectoryIsTheRuntimeDirectoryElseOneInTmp) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string previous = saved != nullptr ? saved : "";
  const std::string tmp = "/tmp/tpk-host-" + std::to_string(::geteuid());
  for (const char* value : {"/run/user/77", "", static_cast<const char*>(nullptr)}) {
    ASSERT_EQ(
        value != nullptr ? ::setenv("XDG_RUNTIME_DIR", value, 1) : ::unsetenv("XDG_RUNTIME_DIR"),
        0);
    EXPECT_EQ(DefaultRuntimeDir(), value != nullptr && *value != '\0' ? value : tmp);
  }
  if (saved != nullptr) (void)::setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
}

TEST(RunFile, TokensAre64HexDigitsThatNeverRepeatAndSecretsCompareEqualOnlyWhenEqual) {
  const Result<std::string> first = NewToken(), second = NewToken();
  ASSERT_TRUE(first.Ok() && second.Ok());
  EXPECT_EQ(first.Value().size(), 64u);
  EXPECT_EQ(first.Value().find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(first.Value(), second.Value());
  const std::tuple<std::string, std::string, bool> cases[] = {
      {"abc", "abc", true},  {"", "", true},
      {"abc", "abd", false}, {"abc", "ab", false},
      {"ab", "abc", false},  {std::string("a\0b", 3), std::string("a\0c", 3), false},
  };
  for (const auto& [a, b, same] : cases)
    EXPECT_EQ(SameSecret(a, b), same) << a << " / " << b;
}

}  // namespace
