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

namespace {

using namespace Oxle::Client::Host;
using namespace Oxle::Client::Host::Cli;

// A fresh directory under the system's temporary one, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tpk-cli-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  [[nodiscard]] std::string Sub(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

const RunFileContent kContent{4242, 8123, "http://127.0.0.1:8123",
                              "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"};
const std::string kText =
    R"({"pid":4242,"port":8123,"token":"00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff","url":"http://127.0.0.1:8123"})"
    "\n";

TEST(RunFile, IsWrittenWholeWithMode0600InANew0700DirectoryReplacingWhatIsThereAndRemoved) {
  TempDir temp;
  const std::string dir = temp.Sub("run");
  const std::string path = dir + "/tpk-host-4242.json";
  const mode_t before = ::umask(0);  // the modes must not depend on the umask
  Result<RunFile> opened = RunFile::OpenDirectory(dir);
  ::umask(before);
  ASSERT_TRUE(opened.Ok()) << opened.ErrorMessage();
  EXPECT_EQ(ModeOf(dir), 0700u);
  RunFile& file = opened.Value();
  EXPECT_EQ(file.Path(), "");
  // A stale file of the pid and a link planted aside are replaced, not followed.
  const std::string victim = temp.Sub("victim");
  std::ofstream(path) << "stale";
  std::ofstream(victim) << "keep me";
  std::filesystem::create_symlink(victim, path + ".tmp");
  ASSERT_TRUE(file.Write(kContent).Ok());
  EXPECT_EQ(file.Path(), path);
  EXPECT_EQ(ReadAll(path), kText);
  EXPECT_EQ(ReadAll(victim), "keep me");
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  file.Remove();
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(file.Path(), "");
  file.Remove();  // a second time does nothing
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  {
    // The destructor removes it; a moved-from file owns nothing.
    ASSERT_TRUE(file.Write(kContent).Ok());
    RunFile moved = std::move(file);
    EXPECT_EQ(moved.Path(), path);
    EXPECT_EQ(file.Path(), "");
    file.Remove();
    EXPECT_TRUE(std::filesystem::exists(path));
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(RunFile, RefusesADirectoryOthersCanReachOrThatIsNotAPlainDirectory) {
  TempDir temp;
  const std::string open = temp.Sub("open");
  ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(open.c_str(), 0755), 0);
  const std::string groupOnly = temp.Sub("group");
  ASSERT_EQ(::mkdir(groupOnly.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(groupOnly.c_str(), 0710), 0);
  const std::string link = temp.Sub("link");
  const std::string target = temp.Sub("target");
  ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
  std::filesystem::create_directory_symlink(target, link);
  const std::string file = temp.Sub("file");
  std::ofstream(file) << "x";
  const std::string orphan = temp.Sub("missing/run");
  struct Case {
    std::string dir;
    std::string message;
  };
  const Case cases[] = {
      {open, "The runtime directory '" + open +
                 "' has mode 0755; it must give nobody but its owner access (0700)"},
      {groupOnly, "The runtime directory '" + groupOnly +
                      "' has mode 0710; it must give nobody but its owner access (0700)"},
      {link, "The runtime directory '" + link + "' is a symbolic link; name the directory itself"},
      {file, "The runtime directory '" + file + "' can't be opened: Not a directory"},
      {orphan,
       "The runtime directory '" + orphan + "' can't be created: No such file or directory"},
  };
  for (const Case& c : cases) {
    const Result<RunFile> opened = RunFile::OpenDirectory(c.dir);
    ASSERT_FALSE(opened.Ok()) << c.dir;
    EXPECT_EQ(opened.ErrorMessage(), c.message);
  }
  EXPECT_EQ(ModeOf(open), 0755u);  // refused, never repaired
}

TEST(RunFile, RefusesADirectoryOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a directory away";
  TempDir temp;
  const std::string dir = temp.Sub("theirs");
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(::chown(dir.c_str(), 4321, 4321), 0);
  const Result<RunFile> opened = RunFile::OpenDirectory(dir);
  ASSERT_FALSE(opened.Ok());
  EXPECT_EQ(opened.ErrorMessage(),
            "The runtime directory '" + dir + "' belongs to user 4321, not to this user (0)");
}

TEST(RunFile, TheDefaultDirectoryIsTheRuntimeDirectoryElseOneInTmp) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string previous = saved != nullptr ? saved : "";
  ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", "/run/user/77", 1), 0);
  EXPECT_EQ(DefaultRuntimeDir(), "/run/user/77");
  ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", "", 1), 0);
  EXPECT_EQ(DefaultRuntimeDir(), "/tmp/tpk-host-" + std::to_string(::geteuid()));
  ASSERT_EQ(::unsetenv("XDG_RUNTIME_DIR"), 0);
  EXPECT_EQ(DefaultRuntimeDir(), "/tmp/tpk-host-" + std::to_string(::geteuid()));
  if (saved != nullptr) (void)::setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
}

TEST(RunFile, TokensAre64HexDigitsAndNeverRepeat) {
  const Result<std::string> first = NewToken();
  const Result<std::string> second = NewToken();
  ASSERT_TRUE(first.Ok() && second.Ok());
  EXPECT_EQ(first.Value().size(), 64u);
  EXPECT_EQ(first.Value().find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(first.Value(), second.Value());
}

TEST(RunFile, SecretsCompareEqualOnlyWhenEqual) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  const Case cases[] = {
      {"abc", "abc", true}, {"", "", true},     {"abc", "abd", false}, {"abc", "ab", false},
      {"ab", "abc", false}, {"abc", "", false}, {"", "a", false},      {"abc", "ABC", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(SameSecret(c.a, c.b), c.same) << c.a << " / " << c.b;
  EXPECT_FALSE(SameSecret(std::string("a\0b", 3), std::string("a\0c", 3)));
}

}  // namespace
